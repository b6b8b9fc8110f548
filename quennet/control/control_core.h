#pragma once
// The control without its widget: the properties, their persistence, the serial port's open
// state and the status label's state. Usable without a QApplication; zav_quennet paints it.
//
// The control installs its own caption and line-failure sinks on the link engine (they drive
// the label); containers follow the label through labelChanged() or labelState().

#include <cstdint>
#include <functional>
#include <memory>

#include <QString>

#include "quennet/commands/command_set.h"
#include "quennet/control/control_messages.h"
#include "quennet/control/ole_color.h"
#include "quennet/control/property_bag.h"
#include "quennet/quennet_export.h"

namespace quennet {

/// What lblStatus shows.
struct LabelState {
  QString caption;                           ///< the status text
  OleColor foreColor = kColorHighlightText;  ///< text colour
  OleColor backColor = kColorHighlight;      ///< background colour
  QString toolTip;                           ///< port, device and settings
};

/// The control without a widget: its properties, their persistence, the port and the status label
/// state, on top of the command methods.
class QUENNET_EXPORT ControlCore : public CommandSet {
 public:
  /// Property defaults.
  ///@{
  static constexpr OleColor kDefaultForeColor = kColorHighlightText;
  static constexpr OleColor kDefaultBackColor = kColorHighlight;
  static constexpr std::int16_t kDefaultCommPort = 1;
  static inline const QString kDefaultSettings = QStringLiteral("9600,n,8,1");
  ///@}

  /// Told the property name after every successful Let, so the container saves its state.
  using PropertyChangedSink = std::function<void(const QString& property)>;

  /// Creation: a QtSerialLine on port 1, "9600,n,8,1", closed.
  ControlCore();
  /// The same with a line of the caller's (a ScriptedLine in tests).
  explicit ControlCore(std::unique_ptr<SerialLine> line);
  ~ControlCore() override;

  /// Replaces the serial line: the old one is closed, the new one gets the current device and
  /// settings and is opened when the wanted state is enabled.
  void setLine(std::unique_ptr<SerialLine> line);

  /// Container services: the ambient user mode (true at run time, false in a design
  /// environment; run time until told otherwise), the control's name in its container, the
  /// message boxes (not owned; none: the texts go to the Qt log), the title the container gives
  /// the box of a port that cannot be opened (kDefaultMessageTitle until it names itself) and
  /// the changed notification.
  ///@{
  void setUserMode(bool runTime) { runTime_ = runTime; }
  bool userMode() const { return runTime_; }
  void setDisplayName(const QString& name) { displayName_ = name; }
  const QString& displayName() const { return displayName_; }
  void setMessages(ControlMessages* messages) { messages_ = messages; }
  static constexpr char kDefaultMessageTitle[] = "Quennet";
  void setMessageTitle(const QString& title) { messageTitle_ = title; }
  const QString& messageTitle() const { return messageTitle_; }
  void setPropertyChangedSink(PropertyChangedSink sink) { propertyChanged_ = std::move(sink); }
  ///@}

  /// Persistence: first placement, restore and save.
  ///@{
  void InitProperties();
  void ReadProperties(PropertyBag& bag);
  void WriteProperties(PropertyBag& bag) const;
  ///@}

  /// Properties, in their saved order. Let raises QuennetError 387 (design time) or 382 (run
  /// time) where the property refuses it, and changes nothing then.
  ///@{
  OleColor ForeColor() const { return label_.foreColor; }
  void setForeColor(OleColor color);
  ///@}
  /// Get: whether the port is open now. Let: the wanted state; opens or closes the port.
  ///@{
  bool Enabled() const { return portOpen(); }
  void setEnabled(bool enabled);
  ///@}
  /// The label's background colour while enabled.
  ///@{
  OleColor BackColor() const { return label_.backColor; }
  void setBackColor(OleColor color);
  ///@}
  /// Let raises QuennetError 380 for a string that is not "baud,parity,data,stop".
  ///@{
  QString Settings() const;
  void setSettings(const QString& settings);
  ///@}
  /// Port number n; without PortName it selects the platform's name for n.
  ///@{
  std::int16_t CommPort() const { return commPort_; }
  void setCommPort(std::int16_t port);
  ///@}
  /// Milliseconds the last transaction took; read only.
  ///@{
  std::int32_t MessageTime() const { return lastMessageTime(); }
  void setMessageTime(std::int32_t value);
  ///@}
  /// While set, every frame goes out with a wrong checksum or CRC (a test aid).
  ///@{
  bool MakeChksmError() const { return makeChksmError(); }
  void setMakeChksmError(bool on);
  ///@}
  /// While set, frames are not sent, so every transaction times out (a test aid).
  ///@{
  bool MakeTimeoutError() const { return makeTimeoutError(); }
  void setMakeTimeoutError(bool on);
  ///@}
  /// The line echoes every sent byte before the reply (a shared RX/TX line).
  ///@{
  bool CommsEcho() const { return commsEcho(); }
  void setCommsEcho(bool on);
  ///@}
  /// Encrypts frames both ways with the key (CRC mode only).
  ///@{
  bool Encryption() const { return encryption(); }
  void setEncryption(bool on);
  ///@}
  /// Let (run time only) derives the key digits; a negative code raises QuennetError 5.
  ///@{
  std::int32_t KeyCode() const { return keyCode_; }
  void setKeyCode(std::int32_t code);
  ///@}
  /// 8-bit checksum or 16-bit CRC frames.
  ///@{
  Checksum_Type ChecksumType() const { return checksumType(); }
  void setChecksumType(Checksum_Type type);
  ///@}
  /// The code sent with every hopper dispense.
  ///@{
  std::int32_t HopperCode() const { return hopperCode(); }
  void setHopperCode(std::int32_t code);
  ///@}
  /// The device path; empty means the platform name of CommPort.
  ///@{
  const QString& PortName() const { return portName_; }
  void setPortName(const QString& name);
  ///@}

  /// The device the port number and PortName select now.
  QString deviceName() const;
  /// The container's frame log (see LinkEngine). The control also watches every transaction
  /// itself: the label is green after a good reply only, and shows a failure (a time-out, a
  /// broken or short reply, BUSY, a NAK) in red.
  ///@{
  void setFrameObserver(FrameObserver* observer) { containerObserver_ = observer; }
  FrameObserver* frameObserver() const { return containerObserver_; }
  ///@}
  /// What the status label shows now.
  const LabelState& labelState() const { return label_; }

 protected:
  /// Called after every change of the label's caption, colours or tool tip.
  virtual void labelChanged(const LabelState& state);

  /// Caption and colours of the enabled or disabled state.
  void ShowPortState(bool enabled);
  /// Opens or closes the port to match the wanted state; on failure a critical box, the port
  /// number back to 1 and false.
  bool SyncPortOpen();
  /// The label after a failed open: the failure in the disabled colours, never "Comms Ready"
  /// over a closed port.
  void ShowOpenFailure();

 private:
  void setToolTip();
  void pushLabel();
  void changed(const QString& property);
  void message(const QString& text, const QString& title, ControlMessages::Icon icon);
  void refuseAtDesignTime() const;
  /// The steps shared by CommPort and PortName Let: `select` picks the new device (or reports
  /// why it cannot), then the port reopens there when wanted.
  void reopenOn(const std::function<LineError()>& select, const QString& property);
  void onLineFailure();
  void showOutcome(const FrameRecord& reply);

  // Sees every transaction's frames: the outcome goes to the label, the frames on to the
  // container's observer.
  class OutcomeWatch : public FrameObserver {
   public:
    explicit OutcomeWatch(ControlCore& control) : control_(control) {}
    void frameLogged(const FrameRecord& record) override;

   private:
    ControlCore& control_;
  };

  LabelState label_;
  std::int16_t commPort_ = kDefaultCommPort;
  QString portName_;
  bool wantedOpen_ = false;
  std::int32_t storedMessageTime_ = 0;
  std::int32_t keyCode_ = 0;
  bool runTime_ = true;
  QString displayName_ = QStringLiteral("zav_quennet1");
  ControlMessages* messages_ = nullptr;
  QString messageTitle_ = QString::fromLatin1(kDefaultMessageTitle);
  PropertyChangedSink propertyChanged_;
  LineError openError_;
  OutcomeWatch outcomeWatch_{*this};
  FrameObserver* containerObserver_ = nullptr;
};

}  // namespace quennet
