#pragma once
// An asynchronous client for one ccTalk bus: it owns the serial line and serialises everything
// sent on it, so several parts of an application can talk to several devices at once. Requests
// queue in the order sent and run one at a time on a worker thread; each returns a BusReply that
// finishes in the caller's thread. The caller never waits on the line.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QVariantList>

#include "quennet/bus/bus_reply.h"
#include "quennet/commands/call_guard.h"
#include "quennet/link/frame.h"
#include "quennet/link/serial_line.h"
#include "quennet/quennet_export.h"

namespace quennet {

struct MethodInfo;

namespace bus_detail {
class BusWorker;
class ClientState;
struct BusJob;
struct LinkSettings;
}  // namespace bus_detail

/// How one device on the bus frames its messages, when it differs from the bus's own set-up: a
/// kiosk's note validator on CRC-16, encrypted, beside a coin acceptor on the 8-bit checksum.
struct DeviceLink {
  /// The device's checksum: CRC-16 or the 8-bit sum.
  Checksum_Type checksumType = CHKSM_16BIT;
  /// A key code: the device's frames are encrypted with it (CRC-16 only); none: in the clear.
  std::optional<std::int32_t> keyCode;
};

/// Used from the thread it was created in, like any QObject; that thread needs a running event loop
/// for replies to finish.
class QUENNET_EXPORT BusClient : public QObject {
  Q_OBJECT

 public:
  /// Whether the port is open.
  enum State { UnconnectedState, ConnectedState };
  Q_ENUM(State)
  /// High goes ahead of every ordinary request still queued (a route ahead of polls), behind the
  /// high ones queued before it. A request already on the line always completes first.
  enum class Priority { Normal, High };
  Q_ENUM(Priority)
  /// A client with the port closed, set up as the control is by default.
  explicit BusClient(QObject* parent = nullptr);
  /// Finishes every pending reply with 5 ("Bus client destroyed") and closes the port.
  ~BusClient() override;

  /// Set-up as on the control. Changes apply to requests sent after them; the port name to the
  /// next open().
  void setPortName(const QString& name);
  /// The device path set.
  QString portName() const;
  /// 8-bit checksum or 16-bit CRC frames.
  ///@{
  void setChecksumType(Checksum_Type type);
  Checksum_Type checksumType() const;
  ///@}
  /// The line echoes every sent byte before the reply.
  ///@{
  void setCommsEcho(bool on);
  bool commsEcho() const;
  ///@}
  /// With an address, open() learns whether the line echoes from one simple poll of that device
  /// (LinkEngine::detectEcho) and commsEcho() holds what it found; without (the default) the echo
  /// setting stays as set.
  void setEchoDetection(std::optional<quint8> address);
  /// Throws QuennetError 5 for a negative code, as the control does.
  void setKeyCode(std::int32_t code);
  /// The key code set.
  std::int32_t keyCode() const;
  /// In CRC mode only, as on the control.
  void setEncryption(bool on);
  /// Whether frames are encrypted.
  bool encryption() const;
  /// Throws QuennetError 6 outside 0..16777215.
  void setHopperCode(std::int32_t code);
  /// The code sent with every hopper dispense.
  std::int32_t hopperCode() const;
  /// How long the line must stay quiet after a good reply before the next frame goes out
  /// (LinkEngine::setRepeatGuardMs); none by default, for devices that send a reply twice.
  ///@{
  void setRepeatGuardMs(int ms);
  int repeatGuardMs() const;
  ///@}
  /// The framing of the device at `address`: requests to it use this checksum and key instead
  /// of the bus's. Throws QuennetError 5 for a negative key code or a key with the 8-bit
  /// checksum. clearDeviceLink() puts the device back on the bus's framing.
  ///@{
  void setDeviceLink(quint8 address, const DeviceLink& link);
  void clearDeviceLink(quint8 address);
  std::optional<DeviceLink> deviceLink(quint8 address) const;
  ///@}
  /// BUSY retries (default none: the first BUSY is the result, -1) and the wait for a device
  /// that acknowledged a reset to answer a poll before its next request (default 2000 ms).
  /// Each retry and poll is a frame of its own on the line. Throws QuennetError 380 for a
  /// setting outside its range (CallGuardSettings).
  ///@{
  void setCallGuard(const CallGuardSettings& settings);
  CallGuardSettings callGuard() const;
  ///@}

  /// Opens the port (9600,n,8,1). False, with errorString() and errorOccurred(), when it cannot.
  bool open();
  /// Closes the port. Every queued request finishes with 5 at once; one on the line ends with 5
  /// as soon as its wait is woken. Returns once the port is released, so that another program
  /// may open it at once.
  void close();
  /// Whether the port is open now.
  State state() const;
  /// The text of the last port failure, empty when none.
  QString errorString() const;
  /// The serial control's number for the last port failure (8002 no such port, 8005 in use, 8010
  /// removed ...), 0 when none.
  int errorNumber() const;
  /// Failure::PortClosed while the last port failure stands (errorNumber() not 0), else None.
  Failure error() const;
  /// Replies not yet finished, the one on the line included.
  int pendingRequests() const;

  /// One raw frame to `address` with `header` and `data`; the reply's data bytes come back in
  /// BusReply::data(). Waits up to 500 ms for a reply (8000 ms for the stacker cycle, header 147;
  /// address poll and clash, 253 and 252, gather every byte within 1200 ms).
  /// Throws QuennetError 6 when data holds more than 251 bytes.
  BusReply* sendRequest(quint8 address, quint8 header, const QByteArray& data = {},
                        Priority priority = Priority::Normal);
  /// Any of the 62 command methods by name, its inputs after the device address in order (text
  /// parsed as the command-line tool parses it). The outputs come back in BusReply::outputs().
  /// Misuse is raised here, before anything is queued: MisuseError for an unknown method or a
  /// bad input, QuennetError where the method itself raises.
  BusReply* invoke(quint8 address, const QString& method, const QVariantList& inputs = {},
                   Priority priority = Priority::Normal);

  /// How call() answers: the result, and whether the port was still open when it came.
  using Completion = std::function<void(const BusResult& result, bool portOpen)>;
  /// invoke() for a caller on any thread, with or without an event loop (the C interface):
  /// thread-safe, misuse raised in the calling thread as invoke() raises it. `done` runs once, on
  /// the bus's worker thread as soon as the request ends, or on the thread that closes the port
  /// for a request it cancels, or at once in this call when the port is closed. It must not block
  /// or call back into this client. Returns the request's ticket for withdraw(), 0 when the port
  /// was closed (`done` has run).
  std::uint64_t call(quint8 address, const QString& method, const QVariantList& inputs,
                     Completion done);
  /// Takes a request of call() out of the queue while the worker has not yet taken it: true when
  /// it was still waiting, and then nothing of it is sent and `done` never runs. False once it is
  /// on the line (or has ended): `done` runs, or has run, as usual. Thread-safe.
  bool withdraw(std::uint64_t ticket);

 signals:
  /// The port was opened or closed (or failed).
  void stateChanged(quennet::BusClient::State state);
  /// The port could not be opened, or failed while open: `number` is the serial control's
  /// number for the failure (ErrorNumber: 8002 no such port, 8005 in use, 8010 removed ...), as
  /// errorNumber() holds it; errorString() describes it.
  void errorOccurred(int number);

 private:
  friend class bus_detail::BusWorker;

  BusReply* queue(BusReply* reply, bus_detail::BusJob job);
  /// Finishes a reply at once; its finished() signal follows from the event loop, so a caller
  /// connecting after the call still sees it.
  BusReply* finishedAtOnce(BusReply* reply, const QString& caption);
  void failPending(const QString& caption);
  void failQueued(const QString& caption);
  void setState(State state);
  /// The set-up a request goes out under; the setters change it in this thread, call() reads it
  /// in any.
  bus_detail::LinkSettings currentSettings() const;
  /// Throws what `info` raises for these inputs, sending nothing.
  void dryRun(const MethodInfo& info, quint8 address, const QVariantList& inputs) const;
  /// From the worker, in this thread.
  void deliver(std::uint64_t id, const BusResult& result);
  void lineFailed(std::uint64_t session, const LineError& error);

  std::unique_ptr<bus_detail::ClientState> d_;
};

}  // namespace quennet
