#include "quennet/control/control_core.h"

#include <QDebug>

#include "quennet/link/encryption.h"
#include "quennet/link/port_access.h"
#include "quennet/link/protocol.h"
#include "quennet/link/qt_serial_line.h"
#include "quennet/link/quennet_error.h"

namespace quennet {

namespace {

// Property names in the container's saved state.
const QString kForeColor = QStringLiteral("ForeColor");
const QString kEnabled = QStringLiteral("Enabled");
const QString kBackColor = QStringLiteral("BackColor");
const QString kSettings = QStringLiteral("Settings");
const QString kCommPort = QStringLiteral("CommPort");
const QString kMessageTime = QStringLiteral("MessageTime");
const QString kMakeChksmError = QStringLiteral("MakeChksmError");
const QString kMakeTimeoutError = QStringLiteral("MakeTimeoutError");
const QString kCommsEcho = QStringLiteral("CommsEcho");
const QString kEncryption = QStringLiteral("Encryption");
const QString kKeyCode = QStringLiteral("KeyCode");
const QString kChecksumType = QStringLiteral("ChecksumType");
const QString kHopperCode = QStringLiteral("HopperCode");
const QString kPortName = QStringLiteral("PortName");

const QString kPortChangeTitle = QStringLiteral("Zav/cctalk Comms Interface");

QString portErrorText(const QString& heading, const LineError& error) {
  return heading + QStringLiteral("\nComms Port Error: ") + QString::number(error.number) +
         QLatin1Char('\n') + error.description;
}

// Saved values may come back as text (INI files) or, for colours, signed: accept both and fall
// back to the default for anything unreadable.
std::int64_t readNumber(PropertyBag& bag, const QString& name, std::int64_t defaultValue) {
  bool ok = false;
  const std::int64_t value = bag.read(name, QVariant::fromValue(defaultValue)).toLongLong(&ok);
  return ok ? value : defaultValue;
}

std::int32_t readInt(PropertyBag& bag, const QString& name, std::int32_t defaultValue) {
  const std::int64_t value = readNumber(bag, name, defaultValue);
  return value >= INT32_MIN && value <= INT32_MAX ? static_cast<std::int32_t>(value) : defaultValue;
}

OleColor readColor(PropertyBag& bag, const QString& name, OleColor defaultValue) {
  return static_cast<OleColor>(readNumber(bag, name, defaultValue));
}

bool readBool(PropertyBag& bag, const QString& name) {
  return bag.read(name, false).toBool();
}

}  // namespace

ControlCore::ControlCore() : ControlCore(std::make_unique<QtSerialLine>()) {}

ControlCore::ControlCore(std::unique_ptr<SerialLine> line) {
  label_.caption = QStringLiteral("Comms Disabled");
  setCaptionSink([this](const QString& caption) {
    label_.caption = caption;
    pushLabel();
  });
  setLineFailureSink([this](const LineError&) { onLineFailure(); });
  LinkEngine::setFrameObserver(&outcomeWatch_);
  setLine(std::move(line));
  setToolTip();
  pushLabel();
}

ControlCore::~ControlCore() = default;

void ControlCore::setLine(std::unique_ptr<SerialLine> line) {
  const QString settings = this->line() ? this->line()->settings() : kDefaultSettings;
  if (this->line()) this->line()->close();
  LinkEngine::setLine(std::move(line));
  this->line()->setDeviceName(deviceName());
  this->line()->setSettings(settings);
  if (wantedOpen_ && !SyncPortOpen()) ShowOpenFailure();
}

QString ControlCore::deviceName() const {
  return portName_.isEmpty() ? platformPortName(commPort_) : portName_;
}

void ControlCore::labelChanged(const LabelState&) {}

void ControlCore::pushLabel() {
  labelChanged(label_);
}

void ControlCore::changed(const QString& property) {
  if (propertyChanged_) propertyChanged_(property);
}

void ControlCore::message(const QString& text, const QString& title, ControlMessages::Icon icon) {
  if (messages_) {
    messages_->show(text, title, icon);
  } else {
    qWarning().noquote() << title << text;
  }
}

void ControlCore::refuseAtDesignTime() const {
  if (!runTime_) throw QuennetError(kErrSetNotPermitted);
}

// "Comm Port 1 (/dev/ttyS0), 9600,n,8,1": the number containers know, then the device it
// stands for (or PortName), then the settings.
void ControlCore::setToolTip() {
  label_.toolTip = QStringLiteral("Comm Port ") + QString::number(commPort_) +
                   QStringLiteral(" (") + deviceName() + QStringLiteral("), ") + Settings();
}

void ControlCore::ShowPortState(bool enabled) {
  if (enabled) {
    // An open port says nothing of what is on it: grey until the first reply turns it green (or
    // red).
    label_.backColor = kColorInactiveCaption;
    label_.foreColor = kColorInactiveCaptionText;
    label_.caption = QStringLiteral("Comms Ready");
  } else {
    label_.backColor = kColorInactiveCaption;
    label_.foreColor = kColorInactiveCaptionText;
    label_.caption = QStringLiteral("Comms Disabled");
  }
  pushLabel();
}

bool ControlCore::SyncPortOpen() {
  if (line()->isOpen() == wantedOpen_) return true;
  if (!wantedOpen_) {
    line()->close();
    return true;
  }
  if (line()->open()) {
    requestQuietLine();
    return true;
  }
  openError_ = line()->lastError();
  message(portErrorText(displayName_, openError_), messageTitle_, ControlMessages::Icon::Critical);
  commPort_ = kDefaultCommPort;
  line()->setDeviceName(deviceName());
  return false;
}

void ControlCore::ShowOpenFailure() {
  label_.backColor = kColorInactiveCaption;
  label_.foreColor = kColorInactiveCaptionText;
  label_.caption = commsErrorText(openError_.description);
  pushLabel();
}

void ControlCore::onLineFailure() {
  // The engine has closed the port and put the failure in the caption; the colours say
  // "disabled", and the wanted state follows so a save or a port change does not reopen it.
  wantedOpen_ = false;
  label_.backColor = kColorInactiveCaption;
  label_.foreColor = kColorInactiveCaptionText;
  pushLabel();
  changed(kEnabled);
}

void ControlCore::OutcomeWatch::frameLogged(const FrameRecord& record) {
  if (record.direction == FrameDirection::Device) control_.showOutcome(record);
  if (control_.containerObserver_) control_.containerObserver_->frameLogged(record);
}

void ControlCore::showOutcome(const FrameRecord& reply) {
  // A line failure has closed the port and shows in the disabled colours already.
  if (!line() || !line()->isOpen()) return;
  const bool nak = reply.frame.complete && reply.frame.header == kHeaderNak;
  // A route or stacker cycle answered by its refusal byte keeps result 0 but did not happen.
  const auto data = std::span(reinterpret_cast<const std::uint8_t*>(reply.frame.data.constData()),
                              static_cast<std::size_t>(reply.frame.data.size()));
  const bool refused =
      reply.requestHeader >= 0 && isRefusal(static_cast<std::uint8_t>(reply.requestHeader), data);
  const bool good =
      reply.result == kResultOk && reply.status == FrameStatus::Ok && !nak && !refused;
  // The engine's caption for an empty reply is "OK" whether it was an ACK or a NAK; the label
  // tells them apart.
  const LabelState before = label_;
  if (nak) label_.caption = QLatin1String(kNakText);
  label_.backColor = good ? kColorGreen : kColorRed;
  label_.foreColor = good ? kColorHighlightText : kColorWhite;
  if (label_.caption != before.caption || label_.backColor != before.backColor ||
      label_.foreColor != before.foreColor) {
    pushLabel();
  }
}

void ControlCore::InitProperties() {
  CommandSet::setHopperCode(kDefaultHopperCode);
  wantedOpen_ = false;
  storedMessageTime_ = 0;
  LinkEngine::setChecksumType(CHKSM_8BIT);
  keyCode_ = 0;
  LinkEngine::setEncryption(false);
  LinkEngine::setCommsEcho(false);
  LinkEngine::setMakeChksmError(false);
  LinkEngine::setMakeTimeoutError(false);
}

void ControlCore::ReadProperties(PropertyBag& bag) {
  // Everything is read first, PortName last as it is saved; applying it with CommPort lets the
  // port open on the device it names.
  const OleColor foreColor = readColor(bag, kForeColor, kDefaultForeColor);
  const bool enabled = readBool(bag, kEnabled);
  const OleColor backColor = readColor(bag, kBackColor, kDefaultBackColor);
  const QString settings = bag.read(kSettings, kDefaultSettings).toString();
  const std::int32_t commPort = readInt(bag, kCommPort, kDefaultCommPort);
  const std::int32_t messageTime = readInt(bag, kMessageTime, 0);
  const bool makeChksmError = readBool(bag, kMakeChksmError);
  const bool makeTimeoutError = readBool(bag, kMakeTimeoutError);
  const bool commsEcho = readBool(bag, kCommsEcho);
  const bool encryption = readBool(bag, kEncryption);
  const std::int32_t keyCode = readInt(bag, kKeyCode, 0);
  const std::int32_t checksumType = readInt(bag, kChecksumType, CHKSM_8BIT);
  const std::int32_t hopperCode = readInt(bag, kHopperCode, kDefaultHopperCode);
  const QString portName = bag.read(kPortName, QString()).toString();

  label_.foreColor = foreColor;
  wantedOpen_ = enabled;
  label_.backColor = backColor;

  // A port changes device only while closed; an unreadable saved value keeps the current one.
  line()->close();
  line()->setSettings(settings);
  if (commPort >= 1 && commPort <= INT16_MAX) commPort_ = static_cast<std::int16_t>(commPort);
  portName_ = portName;
  line()->setDeviceName(deviceName());
  setToolTip();
  storedMessageTime_ = messageTime;

  // The label shows the outcome of the open, so a port that failed never reads "Comms Ready".
  if (SyncPortOpen()) {
    ShowPortState(wantedOpen_);
  } else {
    ShowOpenFailure();
  }

  LinkEngine::setMakeChksmError(makeChksmError);
  LinkEngine::setMakeTimeoutError(makeTimeoutError);
  LinkEngine::setCommsEcho(commsEcho);
  LinkEngine::setEncryption(encryption);
  keyCode_ = keyCode;  // the key digits wait for a KeyCode Let at run time
  LinkEngine::setChecksumType(static_cast<Checksum_Type>(checksumType));
  CommandSet::setHopperCode(hopperCode);
}

void ControlCore::WriteProperties(PropertyBag& bag) const {
  bag.write(kForeColor, QVariant::fromValue(label_.foreColor),
            QVariant::fromValue(kDefaultForeColor));
  bag.write(kBackColor, QVariant::fromValue(label_.backColor),
            QVariant::fromValue(kDefaultBackColor));
  bag.write(kEnabled, wantedOpen_, false);
  bag.write(kSettings, Settings(), kDefaultSettings);
  bag.write(kCommPort, static_cast<int>(commPort_), static_cast<int>(kDefaultCommPort));
  bag.write(kMessageTime, storedMessageTime_, 0);
  bag.write(kMakeChksmError, makeChksmError(), false);
  bag.write(kMakeTimeoutError, makeTimeoutError(), false);
  bag.write(kCommsEcho, commsEcho(), false);
  bag.write(kEncryption, encryption(), false);
  bag.write(kKeyCode, keyCode_, 0);
  bag.write(kChecksumType, static_cast<int>(checksumType()), static_cast<int>(CHKSM_8BIT));
  bag.write(kHopperCode, hopperCode(), kDefaultHopperCode);
  bag.write(kPortName, portName_, QString());
}

void ControlCore::setForeColor(OleColor color) {
  label_.foreColor = color;
  pushLabel();
  changed(kForeColor);
}

void ControlCore::setEnabled(bool enabled) {
  wantedOpen_ = enabled;
  if (SyncPortOpen()) {
    ShowPortState(enabled);
  } else {
    ShowOpenFailure();
  }
  changed(kEnabled);
}

void ControlCore::setBackColor(OleColor color) {
  label_.backColor = color;
  pushLabel();
  changed(kBackColor);
}

QString ControlCore::Settings() const {
  return line()->settings();
}

void ControlCore::setSettings(const QString& settings) {
  if (!line()->setSettings(settings)) {
    throw QuennetError(kErrInvalidPropertyValue);
  }
  changed(kSettings);
}

void ControlCore::reopenOn(const std::function<LineError()>& select, const QString& property) {
  if (line()->isOpen()) line()->close();
  LineError error = select();
  if (!error.isError()) {
    line()->setDeviceName(deviceName());
    if (wantedOpen_) {
      if (line()->open()) {
        requestQuietLine();
      } else {
        error = line()->lastError();
      }
    }
  }
  if (!error.isError()) {
    setToolTip();
    pushLabel();
    changed(property);
    return;
  }
  wantedOpen_ = false;
  line()->close();
  // The port is closed now: the colours say so, whatever the last reply's were.
  label_.backColor = kColorInactiveCaption;
  label_.foreColor = kColorInactiveCaptionText;
  label_.caption = QStringLiteral("Comms Error!");
  pushLabel();
  changed(kEnabled);
  message(portErrorText(kPortChangeTitle, error), kPortChangeTitle, ControlMessages::Icon::Warning);
}

void ControlCore::setCommPort(std::int16_t port) {
  reopenOn(
      [this, port] {
        if (port < 1) return LineError{kErrInvalidPortNumber, errorCaption(kErrInvalidPortNumber)};
        commPort_ = port;
        return LineError{};
      },
      kCommPort);
}

void ControlCore::setPortName(const QString& name) {
  reopenOn(
      [this, &name] {
        portName_ = name;
        return LineError{};
      },
      kPortName);
}

void ControlCore::setMessageTime(std::int32_t) {
  if (runTime_) {
    throw QuennetError(kErrSetNotSupportedAtRuntime);
  }
  throw QuennetError(kErrSetNotPermitted);
}

void ControlCore::setMakeChksmError(bool on) {
  refuseAtDesignTime();
  LinkEngine::setMakeChksmError(on);
  changed(kMakeChksmError);
}

void ControlCore::setMakeTimeoutError(bool on) {
  refuseAtDesignTime();
  LinkEngine::setMakeTimeoutError(on);
  changed(kMakeTimeoutError);
}

void ControlCore::setCommsEcho(bool on) {
  LinkEngine::setCommsEcho(on);
  changed(kCommsEcho);
}

void ControlCore::setEncryption(bool on) {
  LinkEngine::setEncryption(on);
  changed(kEncryption);
}

void ControlCore::setKeyCode(std::int32_t code) {
  refuseAtDesignTime();
  // Negative codes have no six-digit form: refuse them before anything changes.
  if (code < 0) {
    throw QuennetError(kErrInvalidProcedureCall);
  }
  keyCode_ = code;
  setKeyDigits(keyDigitsFromCode(code));
  changed(kKeyCode);
}

void ControlCore::setChecksumType(Checksum_Type type) {
  LinkEngine::setChecksumType(type);
  changed(kChecksumType);
}

void ControlCore::setHopperCode(std::int32_t code) {
  CommandSet::setHopperCode(code);
  changed(kHopperCode);
}

}  // namespace quennet
