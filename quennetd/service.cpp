#include "quennetd/service.h"

#include <sys/statvfs.h>

#include <algorithm>
#include <cstdlib>
#include <utility>

#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>

#include "quennet/bus/bus_reply.h"

#include "quennet/bus/event_poller.h"
#include "quennet/link/link_engine.h"
#include "quennet/link/protocol_events.h"
#include "quennet/link/quennet_error.h"
#include "quennetd/journal_seen.h"
#include "quennetd/kill_point.h"

namespace quennetd {

namespace {

using quennet::BusClient;
using quennet::BusEvent;
using quennet::EventPoller;

constexpr int kPositions = quennet::kPositionCount;
constexpr int kLongestBackoffMs = 30000;
constexpr int kFirstBackoffMs = 1000;
constexpr int kIdentifyRetryMs = 5000;
constexpr int kGoodbyeMs = 3000;
constexpr int kLastReadMs = 3000;
// How long a stop waits for the acceptors to take their inhibits (and held notes to go back).
constexpr int kInhibitWaitMs = 5000;
using quennet::EventKind;
constexpr int kStackerAndEscrow = quennet::kBillModeStacker | quennet::kBillModeEscrow;
// A route for a note that is no longer the one in escrow.
const QString kEscrowChanged = QStringLiteral("escrow changed");
const QString kRouteByEscrowId =
    QStringLiteral("notes are held for the consumer: route them on route, by their escrow id");
constexpr auto kNoteReturned = static_cast<std::uint8_t>(quennet::BillStatus::Returned);
constexpr auto kCashBoxRemoved = static_cast<std::uint8_t>(quennet::BillStatus::CashBoxRemoved);
constexpr auto kCashBoxInserted = static_cast<std::uint8_t>(quennet::BillStatus::CashBoxInserted);
constexpr int kBufferedEvents = 5;

// The statuses that say the note in escrow has gone: given back, jammed, stacked unread.
bool leftEscrow(std::uint8_t status) {
  using quennet::BillStatus;
  switch (static_cast<BillStatus>(status)) {
    case BillStatus::Returned:
    case BillStatus::JammedInValidator:
    case BillStatus::JammedInStacker:
    case BillStatus::StackerJammed:
    case BillStatus::StackerJam:
    case BillStatus::JammedInTransportSafe:
    case BillStatus::UnknownNoteStacked:
      return true;
    default:
      return false;
  }
}

QString shuttingDown() {
  return QStringLiteral("shutting down");
}

QString now() {
  return QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
}

QByteArray compact(const QJsonObject& o) {
  return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

bool allDigits(const QString& text) {
  return !text.isEmpty() &&
         std::all_of(text.begin(), text.end(), [](QChar c) { return c.isDigit(); });
}

std::uint16_t maskOf(const QList<Denomination>& table, const QString& notes) {
  std::uint16_t mask = 0;
  for (int k = 0; k < table.size(); ++k) {
    const bool defined = !table[k].currency.isEmpty();
    if (defined && (notes == u"all" || table[k].currency == notes)) mask |= 1U << k;
  }
  return mask;
}

// Calls `then` once: when every reply it was told to expect is in, or at the deadline.
class Barrier : public QObject {
 public:
  Barrier(int deadlineMs, std::function<void()> then, QObject* parent)
      : QObject(parent), then_(std::move(then)) {
    deadline_.setSingleShot(true);
    connect(&deadline_, &QTimer::timeout, this, &Barrier::fire);
    deadline_.start(deadlineMs);
  }
  void expect() { ++waiting_; }
  void arrive() {
    if (--waiting_ <= 0) fire();
  }
  // Once everything is expected: fires at once when nothing is.
  void arm() {
    if (waiting_ <= 0) fire();
  }

 private:
  void fire() {
    if (fired_) return;
    fired_ = true;
    deadline_.stop();
    deleteLater();
    then_();
  }

  std::function<void()> then_;
  QTimer deadline_;
  int waiting_ = 0;
  bool fired_ = false;
};

void configure(BusClient& bus, const DaemonOptions& options) {
  bus.setPortName(options.port);
  bus.setChecksumType(options.checksum8 ? quennet::CHKSM_8BIT : quennet::CHKSM_16BIT);
  // Any device will do for the echo: a line that echoes gives the frame back whether a device
  // answers or not.
  bus.setCommsEcho(options.echo.value_or(true));
  if (!options.echo) {
    bus.setEchoDetection(options.devices.isEmpty() ? quennet::kValidatorAddress
                                                   : options.devices.front());
  }
  if (options.keyCode) {
    bus.setKeyCode(*options.keyCode);
    bus.setEncryption(true);
  }
}

// The devices `options` name, or those that answer an address poll.
void findAddresses(DeviceCalls& calls, const DaemonOptions& options,
                   const std::function<void(const QList<quint8>&)>& then) {
  if (!options.devices.isEmpty()) {
    QList<quint8> list;
    for (const std::uint8_t a : options.devices) list.append(a);
    return then(list);
  }
  calls.send(0, calls::addressPoll(), [then](const CallReply<QList<quint8>>& found) {
    then(found.value.value_or(QList<quint8>()));
  });
}

// What a device's equipment category says its buffer is.
std::optional<EventPoller::Source> sourceOf(const QString& category) {
  if (category.contains(QLatin1String("Bill"), Qt::CaseInsensitive)) {
    return EventPoller::Source::BillValidator;
  }
  if (category.contains(QLatin1String("Coin"), Qt::CaseInsensitive)) {
    return EventPoller::Source::CoinAcceptor;
  }
  if (category.contains(QLatin1String("Payout"), Qt::CaseInsensitive) ||
      category.contains(QLatin1String("Hopper"), Qt::CaseInsensitive)) {
    return EventPoller::Source::Hopper;
  }
  return std::nullopt;
}

}  // namespace

Denomination noteDenomination(const QString& code, const std::optional<Scale>& scale) {
  Denomination d{code, {}, {}, scale};
  if (code.size() < 6 || !allDigits(code.mid(2, 4))) return d;
  d.currency = code.left(2);
  if (scale) d.value = minorUnits(code.mid(2, 4).toLongLong(), *scale, d.currency);
  return d;
}

Denomination coinDenomination(const QString& code) {
  Denomination d{code, {}, {}, {}};
  if (code.size() < 5 || !code[0].isLetter()) return d;
  d.currency = code.left(2);
  if (allDigits(code.mid(2, 3))) d.value = code.mid(2, 3).toLongLong();
  return d;
}

struct Service::Device {
  quint8 address = 0;
  DeviceState state = DeviceState::Identifying;
  QString category;
  QString manufacturer;
  QString serial;  // as GetSerialNo renders it: the journal's name for the device
  QString label;   // as the device's label reads it: what status and credits show
  std::optional<EventPoller::Source> source;
  std::unique_ptr<EventPoller> poller;
  bool enabled = false;               // its master inhibit opened by this service, since no reset
  bool cashBoxOut = false;            // the validator said its cash box was taken out
  bool primed = false;                // the first buffer since polling started has been read
  std::optional<int> primedFrom;      // the counter the journal had when polling started
  QList<Denomination> denominations;  // by position - 1
  std::optional<DeviceMark> mark;     // where the counter was last taken into account
  std::optional<DeviceMark> stored;   // ... as the journal has it
  // A credit the journal could not take: the events after `mark` are read again once it works.
  bool replay = false;
  std::optional<PendingNote> pending;  // routed to the stacker, not yet reported stacked
  // The note in escrow now, while its event is the newest: its counter, position and epoch.
  std::optional<PendingNote> held;
  QString heldEpoch;
  QTimer hold;  // --escrow hold: returns the note when it runs out
  QString key() const { return QStringLiteral("%1/%2").arg(address).arg(serial); }
  bool identified() const { return state != DeviceState::Identifying; }
  // Known and answering: what status calls ok, and what may take consumers' commands.
  bool answering() const {
    return state == DeviceState::Initialising || state == DeviceState::Polling;
  }
  bool accepts() const {
    return source == EventPoller::Source::BillValidator ||
           source == EventPoller::Source::CoinAcceptor;
  }
  bool isValidator() const { return source == EventPoller::Source::BillValidator; }
  // Enabled and able to take money now.
  bool taking() const { return accepts() && enabled && !cashBoxOut && state != DeviceState::Lost; }
  // Derived only from what identifies the event, so that reading it again gives the same id.
  QString creditId(const QString& epoch, int counter, int position) const {
    return QStringLiteral("%1-%2-%3-%4").arg(serial, epoch).arg(counter).arg(position);
  }
};

Service::Service(const DaemonOptions& options, QObject* parent)
    : QObject(parent),
      options_(options),
      gate_(options.allow, options.commandsPerSecond, options.commandBurst),
      payouts_(&bus_, options,
               [this](const QString& leaf, const QByteArray& payload) { publish(leaf, payload); }) {
  configure(bus_, options);
  reopen_.setSingleShot(true);
  connect(&reopen_, &QTimer::timeout, this, &Service::openPort);
  commandWait_.setSingleShot(true);
  connect(&commandWait_, &QTimer::timeout, this, &Service::runCommands);
  resend_.setInterval(kResendIntervalMs);
  connect(&resend_, &QTimer::timeout, this, [this] {
    // The journal's clock reaches the file at least this often.
    if (journalWritable()) journal_.saveClock();
    resendOutstanding();
  });
  journalRetry_.setInterval(options_.journalRetryMs);
  connect(&journalRetry_, &QTimer::timeout, this, &Service::retryJournal);
  journalWatch_.setInterval(kJournalWatchMs);
  connect(&journalWatch_, &QTimer::timeout, this, &Service::watch);
  ackWrite_.setSingleShot(true);
  connect(&ackWrite_, &QTimer::timeout, this, &Service::writeAcks);
  identifyAgain_.setInterval(kIdentifyRetryMs);
  connect(&identifyAgain_, &QTimer::timeout, this, [this] {
    for (const auto& [address, device] : devices_) {
      if (device->state == DeviceState::Identifying) requestInit(address);
    }
  });
  connect(&bus_, &BusClient::errorOccurred, this, [this](const QString& message) {
    if (portOpen_ && bus_.state() == BusClient::UnconnectedState) portFailed(message);
  });
  connect(&mqtt_, &MqttLink::problem, this, [this](const QString& text) {
    brokerProblem_ = text;
    emit statusChanged(statusLine());
  });
  connect(&mqtt_, &MqttLink::connected, this, [this] {
    brokerProblem_.clear();
    brokerStalled_ = false;
    lastStatus_.clear();
    if (options_.inhibitWithoutBroker) enableAgain();
    publishStatus();
    resendOutstanding();
  });
  connect(&mqtt_, &MqttLink::disconnected, this, [this] {
    if (options_.inhibitWithoutBroker) inhibitAll();
  });
  connect(&mqtt_, &MqttLink::messageReceived, this, &Service::onMessage);
  connect(&mqtt_, &MqttLink::messageRefused, this, [this](const QString& topic, qsizetype bytes) {
    if (topic == options_.prefix + QStringLiteral("/cmd")) {
      replyError(QJsonValue(), gate_.refuseUnread(bytes).error);
    }
  });
}

Service::~Service() = default;

bool Service::start(QString* error) {
  if (!gate_.unknownAllowed().isEmpty()) {
    *error = QStringLiteral("allow: no such method with a device: %1")
                 .arg(gate_.unknownAllowed().join(QStringLiteral(", ")));
    return false;
  }
  MqttSettings mqtt;
  mqtt.host = options_.brokerHost;
  mqtt.port = options_.brokerPort;
  mqtt.clientId = options_.clientId;
  if (!options_.passwordFile.isEmpty() &&
      !readCredentials(options_.passwordFile, &mqtt.user, &mqtt.password, error)) {
    return false;
  }
  // A broker drops the older of two connections with one client id: the two services would take
  // turns, each missing what the other was sent.
  pid_t holder = 0;
  QString why;
  // Locked by the id alone: "localhost" and "127.0.0.1" may well be the same broker.
  if (!clientLock_.acquire(mqtt.clientId, &holder, &why)) {
    *error = why.isEmpty()
                 ? QStringLiteral(
                       "the MQTT client id '%1' is in use by another quennetd "
                       "on this machine%2; give each service its own "
                       "--client-id")
                       .arg(mqtt.clientId,
                            holder > 0 ? QStringLiteral(" (process %1)").arg(holder) : QString())
                 : QStringLiteral("cannot lock the MQTT client id: ") + why;
    return false;
  }
  mqtt.tlsCaFile = options_.tlsCaFile;
  mqtt.tlsCaPath = options_.tlsCaPath;
  mqtt.tlsCertFile = options_.tlsCertFile;
  mqtt.tlsKeyFile = options_.tlsKeyFile;
  // Taking money only while the broker is there wants to know soon when it is not.
  if (options_.inhibitWithoutBroker) mqtt.keepAliveS = kBrokerKeepAliveS;
  mqtt.willTopic = options_.prefix + QStringLiteral("/status");
  mqtt.willPayload = compact(QJsonObject{{"state", "offline"}});
  mqtt.subscriptions = {options_.prefix + QStringLiteral("/ack"),
                        options_.prefix + QStringLiteral("/cmd"),
                        options_.prefix + QStringLiteral("/route")};
  // A journal that cannot be opened keeps every acceptor inhibited; the status says why. One that
  // another service holds is that service's: this one does not start. Nor on a journal other
  // than the one last written, unless told to.
  QString refusal;
  if (!openJournal(&refusal)) {
    if (!refusal.isEmpty()) {
      *error = refusal;
      return false;
    }
    if (journal_.inUse()) {
      *error = QStringLiteral("the journal %1 is in use by another quennetd").arg(options_.journal);
      return false;
    }
    journalError_ = journal_.errorString();
    journalRetry_.start();
  } else if (const QString full = noRoom(); !full.isEmpty()) {
    // A disk full before anything was offered: nothing is taken until there is room.
    journalError_ = full;
    journalRetry_.start();
  }
  // Without the journal, requests that change something are refused (they could not be kept to
  // once). The ledger lives in the journal's file, behind the journal's lock.
  if (journal_.isOpen()) openLedger();
  payouts_.setJournalProblem([this] { return journalWritable() ? QString() : journalError_; });
  payouts_.setBudget(&budget_);
  if (!mqtt_.start(mqtt, error)) return false;
  resend_.start();
  journalWatch_.start();
  identifyAgain_.start();
  openPort();
  return true;
}

QString Service::statusLine() const {
  QString line = portOpen_ ? QStringLiteral("online on %1").arg(options_.port)
                           : QStringLiteral("port lost: %1").arg(portError_);
  int lost = 0;
  for (const auto& [address, device] : devices_) lost += device->state == DeviceState::Lost ? 1 : 0;
  line += QStringLiteral(", %1 device(s), %2 lost").arg(devices_.size()).arg(lost);
  if (journalLost_) {
    line += QStringLiteral(", journal lost: %1 was deleted or replaced").arg(options_.journal);
  } else if (!journalError_.isEmpty()) {
    line += QStringLiteral(", journal failed: ") + journalError_;
  }
  if (!accepting()) line += QStringLiteral(", not accepting");
  if ((!mqtt_.isConnected() || brokerStalled_) && !brokerProblem_.isEmpty()) {
    line += QStringLiteral(", broker: ") + brokerProblem_;
  }
  return line;
}

bool Service::mayAccept() const {
  return journalError_.isEmpty() && state_ != State::Stopping &&
         (!options_.inhibitWithoutBroker || (mqtt_.isConnected() && !brokerStalled_));
}

bool Service::accepting() const {
  if (!mayAccept() || !portOpen_) return false;
  return std::any_of(devices_.begin(), devices_.end(),
                     [](const auto& entry) { return entry.second->taking(); });
}

// ---- the bus -------------------------------------------------------------------------------

void Service::openPort() {
  if (state_ == State::Stopping) return;
  if (busy_) return reopen_.start(kFirstBackoffMs);
  if (!bus_.open()) return portFailed(bus_.errorString());
  portOpen_ = true;
  portError_.clear();
  backoffMs_ = kFirstBackoffMs;
  publishStatus();
  bringUp();
}

void Service::portFailed(const QString& why) {
  portOpen_ = false;
  portError_ = why;
  for (auto& [address, device] : devices_) {
    if (device->poller) device->poller->stop();
    device->hold.stop();
  }
  if (!busy_) devices_.clear();
  publishStatus();
  if (state_ == State::Stopping) return;
  if (!busy_) state_ = State::Running;
  // Back off 1 s, 2 s, 4 s ... up to 30 s between attempts.
  reopen_.start(backoffMs_);
  backoffMs_ = std::min(backoffMs_ * 2, kLongestBackoffMs);
}

void Service::bringUp() {
  busy_ = true;
  devices_.clear();
  findAddresses(calls_, options_,
                [this](const QList<quint8>& addresses) { bringUpNext(addresses, 0); });
}

// One device after the other: identified, then initialised; polling starts once all are.
void Service::bringUpNext(const QList<quint8>& addresses, qsizetype k) {
  if (k >= addresses.size() || bus_.state() != BusClient::ConnectedState ||
      state_ == State::Stopping) {
    return bringUpDone();
  }
  auto device = std::make_shared<Device>();
  device->address = addresses[k];
  identify(device, [this, device, addresses, k] {
    devices_[device->address] = device;
    if (!device->identified()) return bringUpNext(addresses, k + 1);
    initialise(device, [this, addresses, k] { bringUpNext(addresses, k + 1); });
  });
}

void Service::bringUpDone() {
  busy_ = false;
  if (!portOpen_ || bus_.state() != BusClient::ConnectedState) {
    devices_.clear();
  } else {
    for (auto& [address, device] : devices_) {
      if (device->identified()) startPolling(device);
    }
  }
  if (state_ == State::Starting) state_ = State::Running;
  publishStatus();
  payouts_.reconcile();
  runPendingInits();
}

// Category, maker, serial number and denominations; then where the journal left the device.
// The device stays Identifying unless all of it came.
void Service::identify(const DevicePtr& device, const Then& done) {
  const quint8 address = device->address;
  device->hold.setSingleShot(true);
  connect(&device->hold, &QTimer::timeout, this, [this, address] { holdExpired(address); });
  calls_.send(address, calls::equipmentCategory(), [=, this](const CallReply<QString>& category) {
    if (!category.value) return done();
    device->category = *category.value;
    calls_.send(address, calls::manufacturer(), [=, this](const CallReply<QString>& maker) {
      device->manufacturer = maker.value.value_or(QString());
      calls_.send(address, calls::serialNumber(), [=, this](const CallReply<SerialNumber>& serial) {
        if (!serial.value) return done();
        device->serial = serial.value->rendered;
        device->label = serial.value->label;
        device->source = sourceOf(device->category);
        device->denominations.clear();
        auto scaling = std::make_shared<std::map<QString, std::optional<Scale>>>();
        readDenominations(device, 1, scaling, [this, device, done] {
          if (bus_.state() != BusClient::ConnectedState) return done();
          device->state = DeviceState::Initialising;
          if (journal_.isOpen() && !journalLost_) {
            device->mark = journal_.mark(device->key());
            device->stored = device->mark;
            device->pending = journal_.pending(device->key());
          }
          learnCounter(device, done);
        });
      });
    });
  });
}

// Position by position; a note's value needs its currency's scale, asked once per currency.
void Service::readDenominations(
    const DevicePtr& device, int position,
    const std::shared_ptr<std::map<QString, std::optional<Scale>>>& scaling, const Then& done) {
  if (!device->accepts() || position > kPositions) return done();
  const bool notes = device->isValidator();
  const auto next = [=, this] { readDenominations(device, position + 1, scaling, done); };
  calls_.send(device->address, calls::denominationCode(notes, position),
              [=, this](const CallReply<QString>& id) {
                const QString code = id.value.value_or(QString());
                if (!notes) {
                  device->denominations.append(coinDenomination(code));
                  return next();
                }
                const QString currency = noteDenomination(code, std::nullopt).currency;
                if (currency.isEmpty() || scaling->contains(currency)) {
                  device->denominations.append(noteDenomination(
                      code, currency.isEmpty() ? std::nullopt : (*scaling)[currency]));
                  return next();
                }
                calls_.send(device->address, calls::scaleFactor(currency),
                            [=](const CallReply<Scale>& scale) {
                              (*scaling)[currency] = scale.value;
                              device->denominations.append(noteDenomination(code, scale.value));
                              next();
                            });
              });
}

// A device never seen before: what its buffer holds is history. Where its counter stands is
// learnt before it may accept anything, so that nothing after this point is taken for history.
void Service::learnCounter(const DevicePtr& device, const Then& done) {
  if (device->mark || !device->source) return done();
  calls_.send(device->address, calls::eventCounter(*device->source),
              [this, device, done](const CallReply<int>& counter) {
                if (counter.value) {
                  device->mark = DeviceMark{newEpoch(), *counter.value, 0};
                  if (journalWritable() && journal_.setMark(device->key(), *device->mark)) {
                    device->stored = device->mark;
                  }
                }
                done();
              });
}

// Inhibits as --notes asks, escrow on, and the master inhibit open while the service may accept.
void Service::initialise(const DevicePtr& device, const Then& done) {
  const quint8 address = device->address;
  if (!device->accepts()) {
    if (device->source == EventPoller::Source::Hopper && options_.enableHopper) {
      return calls_.send(address, calls::enableHopper(),
                         [done](const CallReply<Nothing>&) { done(); });
    }
    return done();
  }
  const std::uint16_t mask =
      options_.notes == u"none" ? 0 : maskOf(device->denominations, options_.notes);
  const auto master = [this, device, address, done, mask](bool inhibitsSet) {
    inhibitsSet = inhibitsSet && mask != 0;
    const bool open = mayAccept();
    calls_.send(address, calls::setMaster(open ? Master::Accept : Master::Inhibit),
                [device, open, inhibitsSet, done](const CallReply<Nothing>& set) {
                  // Enabled for nothing (--notes none) takes no money either.
                  device->enabled = open && inhibitsSet && set.ok();
                  done();
                });
  };
  calls_.send(address, calls::setInhibits(mask),
              [this, device, address, master](const CallReply<Nothing>& inhibits) {
                if (!device->isValidator()) return master(inhibits.ok());
                calls_.send(
                    address, calls::setBillMode(kStackerAndEscrow),
                    [master, ok = inhibits.ok()](const CallReply<Nothing>&) { master(ok); });
              });
}

void Service::startPolling(const DevicePtr& device) {
  if (device->state == DeviceState::Initialising) device->state = DeviceState::Polling;
  if (!device->source || device->poller) return;
  device->poller = std::make_unique<EventPoller>(&bus_, device->address, *device->source);
  EventPoller* poller = device->poller.get();
  poller->setInterval(options_.pollMs);
  // The first read reports what the buffer holds; the journal's cursor tells what is new.
  poller->setReportKept(true);
  Device* d = device.get();
  connect(poller, &EventPoller::eventReceived, this,
          [this, d](const BusEvent& event) { onEvent(*d, event); });
  connect(poller, &EventPoller::bufferRead, this,
          [this, d](int counter) { onBufferRead(*d, counter); });
  connect(poller, &EventPoller::eventsLost, this, [this, d](int count) {
    if (!d->mark) return;
    // Journalled with the mark as it stands: the events the buffer still holds come next.
    if (!recordLoss(*d, d->poller->lastCounter(), count, *d->mark)) d->replay = true;
  });
  connect(poller, &EventPoller::counterReset, this, [this, d] { onReset(*d); });
  connect(poller, &EventPoller::deviceLost, this, [this, d] {
    d->state = DeviceState::Lost;
    publishEvent(*d, d->poller->lastCounter(), QStringLiteral("fault"),
                 QStringLiteral("Device not answering"));
    publishStatus();
  });
  connect(poller, &EventPoller::deviceBack, this, [this, d] {
    // It may have lost its power meanwhile: its inhibits with it.
    d->state = DeviceState::Initialising;
    publishEvent(*d, d->poller->lastCounter(), QStringLiteral("status"),
                 QStringLiteral("Device answering again"));
    publishStatus();
    requestInit(d->address);
  });
  d->primed = false;
  d->primedFrom = d->mark ? std::optional<int>(d->mark->counter) : std::nullopt;
  d->held.reset();
  poller->start();
}

void Service::requestInit(quint8 address) {
  if (!pendingInits_.contains(address)) pendingInits_.append(address);
  if (!busy_) QTimer::singleShot(0, this, &Service::runPendingInits);
}

void Service::runPendingInits() {
  if (busy_) return;
  if (state_ == State::Stopping) return finishShutdown();
  busy_ = true;
  initNext();
}

// One device of those waiting: identified again if it never was, then initialised and polled.
void Service::initNext() {
  if (pendingInits_.isEmpty() || !portOpen_ || state_ == State::Stopping) {
    busy_ = false;
    if (!portOpen_) devices_.clear();
    publishStatus();
    if (state_ == State::Stopping) finishShutdown();
    return;
  }
  const quint8 address = pendingInits_.takeFirst();
  const auto it = devices_.find(address);
  if (it == devices_.end()) return initNext();
  const DevicePtr device = it->second;
  const auto setUp = [this](const DevicePtr& ready) {
    initialise(ready, [this, ready] {
      if (portOpen_) startPolling(ready);
      initNext();
    });
  };
  if (device->identified()) {
    if (device->state == DeviceState::Polling) device->state = DeviceState::Initialising;
    return setUp(device);
  }
  auto fresh = std::make_shared<Device>();
  fresh->address = address;
  identify(fresh, [this, fresh, setUp] {
    if (!fresh->identified()) return initNext();
    devices_[fresh->address] = fresh;
    setUp(fresh);
  });
}

// ---- events and money ----------------------------------------------------------------------

DeviceMark Service::markAt(const Device& device, int counter) const {
  DeviceMark next = device.mark ? *device.mark : DeviceMark{newEpoch(), 0, 0};
  // The counter wrapped from 255 to 1: the same counters come again, in a new epoch.
  if (counter != 0 && counter < next.counter) next.epoch = newEpoch();
  next.counter = counter;
  return next;
}

void Service::onEvent(Device& device, const BusEvent& event) {
  const int newest = device.poller->lastCounter();
  if (!device.primed && !device.mark) return;  // a device never seen before: learn its counter
  if (device.mark) {
    const int ahead = EventPoller::eventsBetween(device.mark->counter, event.counter);
    if (ahead < 1 || ahead > EventPoller::eventsBetween(device.mark->counter, newest)) return;
  }
  const bool bill = device.source == EventPoller::Source::BillValidator;
  const EventKind kind = event.kind();
  const DeviceMark next = markAt(device, event.counter);
  // Whatever the event means for money is in the journal; if not, it is read again later.
  bool kept = true;
  if (kind == EventKind::Credit) {
    kept = credit(device, event, next);
  } else if (bill && event.a == 0 && event.b == kNoteReturned) {
    kept = noteReturned(device, next);
  } else if (kind == EventKind::Escrow && device.pending) {
    // Another note in escrow: the one routed to the stacker before it was not stacked.
    kept = noteReturned(device, next);
  }
  if (!kept) device.replay = true;
  // A credit moves the mark itself, with the device's seq.
  if (!device.replay && kind != EventKind::Credit) device.mark = next;
  publishEvent(device, event.counter,
               kind == EventKind::Credit  ? QStringLiteral("credit")
               : kind == EventKind::Fault ? QStringLiteral("fault")
                                          : QStringLiteral("status"),
               event.text);
  if (bill && event.a == 0 && (event.b == kCashBoxRemoved || event.b == kCashBoxInserted)) {
    device.cashBoxOut = event.b == kCashBoxRemoved;
    publishStatus();
  }
  // The held note stays held through what says nothing of it (a cheat, the cash box): only a note
  // stacked, given back or jammed has left escrow.
  if (bill && (kind == EventKind::Credit || (event.a == 0 && leftEscrow(event.b)))) {
    device.hold.stop();
    device.held.reset();
  }
  if (kind == EventKind::Escrow && event.counter == newest) escrow(device, event, next);
}

void Service::onBufferRead(Device& device, int counter) {
  // Whether the journal is still the file it was, at every poll: a journal deleted or replaced
  // stops acceptance before the next coin can go in.
  journalWritable();
  if (!device.primed) {
    device.primed = true;
    if (device.primedFrom && device.accepts()) {
      if (*device.primedFrom != 0 && counter == 0) {
        // Reset while nobody watched: the counter starts again at 0.
        onReset(device);
      } else {
        // Taken while nobody read the buffer, and more than it keeps: never silently.
        const int missed =
            EventPoller::eventsBetween(*device.primedFrom, counter) - kBufferedEvents;
        if (missed > 0 && !device.replay) {
          const DeviceMark at = markAt(device, counter);
          if (recordLoss(device, counter, missed, at)) {
            device.mark = at;
          } else {
            device.replay = true;
          }
        }
      }
    }
    // A note routed to the stacker before a restart and still in escrow: the journal has it.
    if (device.isValidator() && device.pending && counter == device.pending->counter) {
      device.held = device.pending;
      routeToStacker(device);
    }
  }
  if (device.replay) return;
  device.mark = markAt(device, counter);
  if (device.stored != device.mark && journalTakes()) {
    if (journal_.setMark(device.key(), *device.mark)) {
      device.stored = device.mark;
    } else {
      journalFailed(journal_.errorString());
    }
  }
}

void Service::onReset(Device& device) {
  device.enabled = false;
  // A reset gives a held note back to the customer, and the counter starts a new epoch.
  device.hold.stop();
  device.held.reset();
  const DeviceMark next{newEpoch(), 0, device.mark ? device.mark->seq : 0};
  // A note routed to the stacker may be in the cash box or back with the customer: nobody knows.
  if (!noteInDoubt(device, next)) device.replay = true;
  if (!device.replay) device.mark = next;
  publishEvent(device, 0, QStringLiteral("reset"), QStringLiteral("Device reset"));
  publishStatus();
  requestInit(device.address);
}

bool Service::credit(Device& device, const BusEvent& event, DeviceMark next) {
  if (!journalTakes()) return false;
  const bool note = device.isValidator();
  const int position = event.a;
  QString id = device.creditId(next.epoch, event.counter, position);
  int counter = event.counter;
  if (note && device.pending) {
    if (device.pending->position == position) {
      // The note journalled before it was stacked: its id, its counter.
      id = device.pending->id;
      counter = device.pending->counter;
    } else if (!noteReturned(device, next)) {
      return false;
    }
  }
  next.seq += 1;
  const QJsonObject o = creditBody(device, id, position, counter, next.seq);
  const JournalCredit credit{id, compact(o)};
  // On disk first; only then may anybody hear of it.
  killPoint("before-journal");
  if (!journal_.recordCredit(device.key(), credit, next)) {
    journalFailed(journal_.errorString());
    return false;
  }
  device.pending.reset();
  device.mark = next;
  device.stored = next;
  killPoint("after-journal");
  publishEntry(credit);
  return true;
}

QJsonObject Service::creditBody(const Device& device, const QString& id, int position, int counter,
                                qint64 seq) const {
  const Denomination d = position >= 1 && position <= device.denominations.size()
                             ? device.denominations[position - 1]
                             : Denomination{};
  QJsonObject o{{"id", id},
                {"address", device.address},
                {"serial", device.label},
                {"kind", device.isValidator() ? "note" : "coin"},
                {"position", position},
                {"code", d.code},
                {"currency", d.currency},
                {"value", d.value ? QJsonValue(static_cast<double>(*d.value)) : QJsonValue()},
                {"counter", counter},
                {"seq", static_cast<double>(seq)},
                {"state", "credited"},
                {"time", now()}};
  if (d.scale) {
    o.insert(QStringLiteral("scale"),
             QJsonObject{{"factor", d.scale->factor}, {"decimals", d.scale->decimals}});
  }
  return o;
}

bool Service::noteInDoubt(Device& device, DeviceMark next) {
  if (!device.pending) return true;
  if (!journalTakes()) return false;
  next.seq += 1;
  QJsonObject o = creditBody(device, device.pending->id, device.pending->position,
                             device.pending->counter, next.seq);
  o.insert(QStringLiteral("state"), QStringLiteral("in-doubt"));
  o.insert(QStringLiteral("reason"),
           QStringLiteral("the validator reset after the note was routed to the stacker"));
  const JournalCredit entry{device.pending->id, compact(o), Entry::InDoubt};
  if (!journal_.recordCredit(device.key(), entry, next)) {
    journalFailed(journal_.errorString());
    return false;
  }
  device.pending.reset();
  device.mark = next;
  device.stored = next;
  publishEntry(entry);
  return true;
}

bool Service::recordLoss(Device& device, int counter, int count, const DeviceMark& mark) {
  if (!journalTakes()) return false;
  const QString id = QStringLiteral("%1-%2-%3-lost").arg(device.serial, mark.epoch).arg(counter);
  const JournalCredit entry{
      id,
      compact(QJsonObject{
          {"id", id},
          {"address", device.address},
          {"counter", counter},
          {"kind", "lost"},
          {"text", QStringLiteral("%1 event(s) lost: the buffer keeps five").arg(count)},
          {"count", count},
          {"time", now()}}),
      Entry::Lost};
  if (!journal_.recordCredit(device.key(), entry, mark)) {
    journalFailed(journal_.errorString());
    return false;
  }
  device.stored = mark;
  publishEntry(entry);
  return true;
}

void Service::publishEntry(const JournalCredit& entry) {
  publish(entry.entry == Entry::Lost ? QStringLiteral("event") : QStringLiteral("credit"),
          entry.payload);
}

bool Service::noteReturned(Device& device, const DeviceMark& next) {
  if (!device.pending) return true;
  if (!journalTakes() || !journal_.dropPending(device.key(), device.pending->id, next)) {
    journalFailed(journal_.errorString());
    return false;
  }
  device.pending.reset();
  device.mark = next;
  device.stored = next;
  return true;
}

void Service::escrow(Device& device, const BusEvent& event, const DeviceMark& next) {
  device.held =
      PendingNote{device.creditId(next.epoch, event.counter, event.a), event.counter, event.a};
  switch (options_.escrow) {
    case EscrowPolicy::Stack:
      if (mayAccept()) {
        routeToStacker(device);
        return;
      }
      [[fallthrough]];
    case EscrowPolicy::Return:
      device.held.reset();
      route(device.address, RouteCode::Return);
      return;
    case EscrowPolicy::Hold:
      break;
  }
  const Denomination d =
      event.a <= device.denominations.size() ? device.denominations[event.a - 1] : Denomination{};
  publish(QStringLiteral("escrow"),
          compact(QJsonObject{
              {"id", device.held->id},
              {"address", device.address},
              {"position", event.a},
              {"code", d.code},
              {"currency", d.currency},
              {"value", d.value ? QJsonValue(static_cast<double>(*d.value)) : QJsonValue()},
              {"time", now()}}));
  device.hold.start(options_.escrowTimeoutMs);
}

// The note in escrow is journalled as pending before it may be stacked; false when it may not.
bool Service::journalNote(Device& device) {
  if (!device.held || !device.mark) return false;
  if (device.pending && device.pending->id == device.held->id) return true;
  if (!mayAccept() || !journalWritable()) return false;
  killPoint("before-journal");
  if (!journal_.recordPending(device.key(), *device.held, *device.mark)) {
    journalFailed(journal_.errorString());
    return false;
  }
  device.pending = device.held;
  device.stored = device.mark;
  return true;
}

bool Service::routeToStacker(Device& device, const Routed& then) {
  if (!journalNote(device)) {
    device.held.reset();
    return route(device.address, RouteCode::Return, then);
  }
  killPoint("after-journal");
  calls_.send(device.address, calls::routeBill(RouteCode::Stack),
              [then](const CallReply<Nothing>& routed) {
                if (routed.acknowledged) killPoint("after-stack");
                if (then) then(routed);
              });
  return true;
}

bool Service::route(quint8 address, RouteCode how, const Routed& then) {
  if (!portOpen_) return false;
  calls_.send(address, calls::routeBill(how), [then](const CallReply<Nothing>& routed) {
    if (then) then(routed);
  });
  return true;
}

void Service::holdExpired(quint8 address) {
  const auto it = devices_.find(address);
  if (it != devices_.end()) it->second->held.reset();
  route(address, RouteCode::Return);
}

// ---- the journal ---------------------------------------------------------------------------

bool Service::journalWritable() {
  if (!journalLost_ && journal_.isOpen() && !journal_.stillThere() && !restoreJournal()) {
    // Replaced, or deleted and not to be restored: nothing more is taken; what is written now
    // lives only as long as this service keeps the old file open.
    journalLost_ = true;
    journalFailed(QStringLiteral("lost"));
  }
  return journalError_.isEmpty() && journal_.isOpen();
}

// A journal deleted under the service is written back from the file it still holds open, with
// everything in it: credits not acknowledged, request ids, where every device stands.
bool Service::restoreJournal() {
  if (!journal_.deleted()) return false;
  const bool ledger = payouts_.isOpen();
  payouts_.close();
  const bool restored = journal_.restore();
  if (ledger && journal_.isOpen()) openLedger();
  if (!restored) return false;
  emit statusChanged(
      QStringLiteral("the journal %1 was deleted: written back from the file still open")
          .arg(options_.journal));
  return true;
}

QString Service::noRoom() const {
  struct statvfs disk {};
  const QByteArray folder = QFile::encodeName(QFileInfo(options_.journal).absolutePath());
  if (::statvfs(folder.constData(), &disk) != 0) return {};
  const qint64 room = static_cast<qint64>(disk.f_bavail) * static_cast<qint64>(disk.f_frsize);
  if (room >= kJournalRoomBytes) return {};
  return QStringLiteral("disk full: %1 bytes free").arg(room);
}

void Service::watch() {
  if (journalWritable()) {
    if (const QString full = noRoom(); !full.isEmpty()) journalFailed(full);
  }
  if (!options_.inhibitWithoutBroker) return;
  const bool stalled = mqtt_.isConnected() && mqtt_.oldestUnconfirmedMs() > kBrokerAnswerMs;
  if (stalled == brokerStalled_) return;
  brokerStalled_ = stalled;
  if (stalled) {
    brokerProblem_ = QStringLiteral("the broker takes no messages");
    inhibitAll();
  } else {
    brokerProblem_.clear();
    enableAgain();
  }
  emit statusChanged(statusLine());
}

bool Service::journalTakes() {
  return journalWritable() || (journalLost_ && journal_.isOpen());
}

void Service::journalFailed(const QString& why) {
  const bool first = journalError_.isEmpty();
  journalError_ = journalLost_    ? QStringLiteral("lost")
                  : why.isEmpty() ? QStringLiteral("cannot write")
                                  : why;
  if (first) {
    // No acceptance without a journal.
    inhibitAll();
    journalRetry_.start();
  }
  publishStatus();
}

void Service::retryJournal() {
  if (journalError_.isEmpty()) return journalRetry_.stop();
  if (journalLost_ || state_ == State::Stopping) return;
  QString refusal;
  if (!journal_.isOpen() && !openJournal(&refusal)) {
    journalError_ = refusal.isEmpty() ? journal_.errorString() : refusal;
    return publishStatus();
  }
  if (!journal_.probe()) {
    journalError_ = journal_.errorString();
    return publishStatus();
  }
  if (const QString full = noRoom(); !full.isEmpty()) {
    journalError_ = full;
    return publishStatus();
  }
  journalError_.clear();
  journalRetry_.stop();
  // A journal that failed at start: the ledger opens with it, and what a kill left is settled.
  if (!payouts_.isOpen()) {
    openLedger();
    if (portOpen_ && !busy_) payouts_.reconcile();
  }
  for (auto& [address, device] : devices_) {
    if (!device->identified()) continue;
    // What lies after the journal's mark is read again: a credit missed meanwhile is taken now.
    if (const auto stored = journal_.mark(device->key())) {
      if (device->replay) {
        device->mark = stored;
        device->poller.reset();
      }
    } else if (device->mark && journal_.setMark(device->key(), *device->mark)) {
      device->stored = device->mark;
    }
    device->replay = false;
    device->stored = journal_.mark(device->key());
    device->pending = journal_.pending(device->key());
    requestInit(address);
  }
  resendOutstanding();
  publishStatus();
}

bool Service::openJournal(QString* refusal) {
  const QString seen = seenPath(options_);
  const std::optional<JournalSeen> last = readSeen(seen);
  // A journal gone is not made anew behind the service's back.
  if (last && !options_.acceptJournal && !QFileInfo::exists(options_.journal)) {
    *refusal = journalRefusal(options_.journal, std::nullopt, *last);
    return false;
  }
  if (!journal_.open(options_.journal)) return false;
  if (last && !options_.acceptJournal) {
    *refusal =
        journalRefusal(options_.journal, JournalSeen{journal_.id(), journal_.writes()}, *last);
    if (!refusal->isEmpty()) {
      journal_.close();
      return false;
    }
  }
  journal_.setSeenFile(seen);
  return true;
}

void Service::openLedger() {
  payouts_.open(options_.journal, journal_.id(), [this] { return journal_.clockMs(); });
}

void Service::inhibitAll() {
  for (const auto& [address, device] : devices_) {
    if (!device->accepts()) continue;
    device->enabled = false;
    if (portOpen_) calls_.send(address, calls::setMaster(Master::Inhibit).atOnce());
  }
  publishStatus();
}

void Service::enableAgain() {
  if (!mayAccept()) return;
  for (const auto& [address, device] : devices_) {
    if (device->identified() && device->accepts() && !device->enabled) requestInit(address);
  }
}

void Service::resendOutstanding() {
  if (!mqtt_.isConnected() || !journal_.isOpen()) return;
  for (const JournalCredit& entry : journal_.outstanding()) publishEntry(entry);
  payouts_.resend();
}

// ---- MQTT ----------------------------------------------------------------------------------

void Service::publish(const QString& leaf, const QByteArray& payload, bool retain) {
  mqtt_.publish(options_.prefix + u'/' + leaf, payload, 1, retain);
}

void Service::publishEvent(const Device& device, int counter, const QString& kind,
                           const QString& text, const QJsonObject& more) {
  QJsonObject o{{"address", device.address},
                {"counter", counter},
                {"kind", kind},
                {"text", text},
                {"time", now()}};
  for (auto it = more.begin(); it != more.end(); ++it) o.insert(it.key(), it.value());
  publish(QStringLiteral("event"), compact(o));
}

void Service::publishStatus() {
  QJsonArray list;
  for (const auto& [address, device] : devices_) {
    list.append(QJsonObject{{"address", address},
                            {"category", device->category},
                            {"manufacturer", device->manufacturer},
                            {"serial", device->label},
                            {"state", device->answering() ? "ok" : "lost"}});
  }
  QJsonObject o{{"state", portOpen_ ? "online" : "port-lost"},
                {"port", options_.port},
                {"devices", list},
                {"accepting", accepting()},
                {"journal", journalError_.isEmpty() ? QStringLiteral("ok") : journalError_}};
  if (!portOpen_) o.insert(QStringLiteral("error"), portError_);
  // Published on change only; the time says when it changed.
  const QByteArray body = compact(o);
  if (body == lastStatus_) return;
  lastStatus_ = body;
  o.insert(QStringLiteral("time"), now());
  publish(QStringLiteral("status"), compact(o), true);
  emit statusChanged(statusLine());
}

void Service::onMessage(const QString& topic, const QByteArray& payload) {
  if (topic == options_.prefix + QStringLiteral("/ack")) return onAck(payload);
  if (topic == options_.prefix + QStringLiteral("/cmd")) return onCommand(payload);
  if (topic == options_.prefix + QStringLiteral("/route")) return onRoute(payload);
}

void Service::onAck(const QByteArray& payload) {
  if (payload.size() > kMaxCommandBytes) return;
  const QString id =
      QJsonDocument::fromJson(payload).object().value(QLatin1String("id")).toString();
  if (id.isEmpty() || ackSet_.contains(id)) return;
  // Beyond the bound it is dropped: the credit comes again and is acknowledged again.
  if (acks_.size() >= kAcksWaiting) return;
  acks_.append(id);
  ackSet_.insert(id);
  if (!ackWrite_.isActive()) ackWrite_.start(kAckBatchMs);
}

// One batch in one transaction; the rest wait their turn, so the polls keep theirs.
void Service::writeAcks() {
  const QStringList batch = acks_.mid(0, kAcksPerBatch);
  acks_.remove(0, batch.size());
  for (const QString& id : batch) ackSet_.remove(id);
  // An ack the journal cannot take now is asked for again: the credit is published again.
  if (journalTakes() && !journal_.acknowledge(batch)) journalFailed(journal_.errorString());
  payouts_.acknowledge(batch);
  if (!acks_.isEmpty()) ackWrite_.start(kAckBatchMs);
}

void Service::replyError(const QJsonValue& id, const QString& error) {
  publish(QStringLiteral("reply"), errorReply(id, error));
}

void Service::onCommand(const QByteArray& payload) {
  if (state_ != State::Stopping && payouts_.take(payload, [this] { return gate_.admit(); })) return;
  const GateResult checked = gate_.check(payload);
  if (!checked.command) return replyError(checked.id, checked.error);
  const Command& command = *checked.command;
  if (state_ == State::Stopping) return replyError(command.id, shuttingDown());
  // Only a device that answers its polls gets commands: anything else would wait out a time-out
  // on the line for every request.
  const auto device = devices_.find(command.address);
  if (device == devices_.end() || !device->second->answering()) {
    return replyError(command.id,
                      QStringLiteral("no device answering at address %1").arg(command.address));
  }
  // Held notes are routed by their escrow id: a RouteBill routes whatever note is held.
  if (calls::isRoute(command.method) && options_.escrow == EscrowPolicy::Hold) {
    return replyError(command.id, kRouteByEscrowId);
  }
  // What changes a device runs once by its id, kept in the journal.
  if (!CommandGate::isOpen(command.method)) return payouts_.run(command, payload);
  // A route is for the note a customer is waiting on: it goes ahead of the other commands, and
  // only routes can make another route wait.
  const auto isRoute = [](const Command& c) { return calls::isRoute(c.method); };
  const bool route = isRoute(command);
  const qsizetype ahead =
      route ? std::count_if(commands_.begin(), commands_.end(), isRoute) : commands_.size();
  if (ahead >= kCommandQueueLength) return replyError(command.id, QStringLiteral("busy"));
  commands_.insert(route ? ahead : commands_.size(), command);
  runCommands();
}

void Service::runCommands() {
  if (commandOnLine_ || commands_.isEmpty()) return;
  const bool route = calls::isRoute(commands_.front().method);
  const int waitMs = route ? 0 : budget_.waitMs();
  if (waitMs > 0) return commandWait_.start(waitMs);
  const Command command = commands_.takeFirst();
  const bool stack = calls::isStackRoute(command.method, command.inputs);
  if (route) {
    const auto it = devices_.find(command.address);
    Device* device = it != devices_.end() ? it->second.get() : nullptr;
    if (device) device->hold.stop();
    // The held note is journalled before it may be stacked; without a journal it goes back.
    if (device && stack && device->held) {
      if (!journalNote(*device)) {
        device->held.reset();
        this->route(device->address, RouteCode::Return);
        replyError(command.id,
                   QStringLiteral("not accepting: the note is returned (journal: %1)")
                       .arg(journalError_.isEmpty() ? QStringLiteral("ok") : journalError_));
        return runCommands();
      }
      killPoint("after-journal");
    }
  }
  quennet::BusReply* reply = nullptr;
  try {
    reply = bus_.invoke(command.address, command.method, command.inputs,
                        route ? BusClient::Priority::High : BusClient::Priority::Normal);
  } catch (const quennet::MisuseError& e) {
    replyError(command.id, e.message());
    return runCommands();
  }
  commandOnLine_ = true;
  QElapsedTimer onLine;
  onLine.start();
  connect(reply, &quennet::BusReply::finished, this, [this, reply, onLine, stack, id = command.id] {
    if (stack && reply->busResult().acknowledged) killPoint("after-stack");
    budget_.spend(onLine.elapsed());
    commandOnLine_ = false;
    QJsonObject answer{{"id", id},
                       {"result", reply->result()},
                       {"status", reply->caption()},
                       {"acknowledged", reply->acknowledged()},
                       {"outputs", QJsonObject::fromVariantMap(reply->outputs())}};
    // A serial number also as the device's label reads it, as the tool's --json gives it.
    const QString serial = reply->busResult().serial;
    if (!serial.isEmpty()) answer.insert(QStringLiteral("serial"), serial);
    publish(QStringLiteral("reply"), compact(answer));
    reply->deleteLater();
    runCommands();
  });
}

// {"id", "escrow", "action": "stack"|"return"}: routes the note only while it is the one that
// escrow id named.
void Service::onRoute(const QByteArray& payload) {
  const auto refuse = [this](const QJsonValue& id, const QString& error) {
    publish(QStringLiteral("reply"), errorReply(id, error));
  };
  if (payload.size() > kMaxCommandBytes) {
    gate_.admit();
    return refuse(QJsonValue(),
                  QStringLiteral("request larger than %1 bytes").arg(kMaxCommandBytes));
  }
  const QJsonObject o = QJsonDocument::fromJson(payload).object();
  const QJsonValue id = o.value(QLatin1String("id"));
  if (!gate_.admit()) return refuse(id, QStringLiteral("too many requests"));
  if (!id.isString() && !id.isDouble()) return refuse(QJsonValue(), QStringLiteral("no id"));
  if (const QString twice = duplicateKey(payload); !twice.isEmpty()) {
    return refuse(id, duplicateKeyError(twice));
  }
  if (state_ == State::Stopping) return refuse(id, shuttingDown());
  // Asked again: the answer it had; the note is not routed twice.
  if (const auto stored = payouts_.storedRouteReply(id)) {
    return publish(QStringLiteral("reply"), *stored);
  }
  const QString escrow = o.value(QLatin1String("escrow")).toString();
  const QString action = o.value(QLatin1String("action")).toString();
  if (action != u"stack" && action != u"return") {
    return refuse(id, QStringLiteral("action wants stack or return"));
  }
  const auto held = std::find_if(devices_.begin(), devices_.end(), [&](const auto& entry) {
    const Device& d = *entry.second;
    return !escrow.isEmpty() && d.held && d.held->id == escrow && d.hold.isActive();
  });
  if (held == devices_.end()) return refuse(id, kEscrowChanged);
  Device& device = *held->second;
  device.hold.stop();
  // A stack goes through the journal first; a note the journal cannot take goes back.
  const auto answer = std::make_shared<Routed>();
  const auto routed = [answer](const CallStatus& reply) { (*answer)(reply); };
  bool sent = false;
  if (action == u"stack") {
    sent = routeToStacker(device, routed);
  } else {
    device.held.reset();
    sent = route(device.address, RouteCode::Return, routed);
  }
  if (!sent) return refuse(id, QStringLiteral("port lost: ") + portError_);
  const bool stacked = device.pending && device.pending->id == escrow && device.held;
  *answer = [this, id, escrow, payload, stacked](const CallStatus& reply) {
    const QByteArray answer =
        compact(QJsonObject{{"id", id},
                            {"escrow", escrow},
                            {"action", stacked ? "stack" : "return"},
                            {"result", reply.result},
                            {"status", reply.caption},
                            {"acknowledged", reply.acknowledged},
                            {"outputs", QJsonObject::fromVariantMap(reply.outputs)}});
    payouts_.rememberRoute(id, payload, answer);
    publish(QStringLiteral("reply"), answer);
  };
}

// ---- the end -------------------------------------------------------------------------------

void Service::shutdown() {
  if (state_ == State::Stopping) return;
  state_ = State::Stopping;
  payouts_.stop(shuttingDown());
  commandWait_.stop();
  for (const Command& command : commands_) replyError(command.id, shuttingDown());
  commands_.clear();
  reopen_.stop();
  resend_.stop();
  journalRetry_.stop();
  journalWatch_.stop();
  identifyAgain_.stop();
  // An initialisation in progress ends first, then finishes the shutdown itself.
  if (!busy_) finishShutdown();
}

void Service::finishShutdown() {
  busy_ = true;
  for (auto& [address, device] : devices_) {
    if (device->poller) device->poller->stop();
  }
  auto* inhibited = new Barrier(
      kInhibitWaitMs, [this] { lastReads(); }, this);
  if (portOpen_) {
    const auto in = [inhibited = QPointer<Barrier>(inhibited)](const CallReply<Nothing>&) {
      if (inhibited) inhibited->arrive();
    };
    for (auto& [address, device] : devices_) {
      if (!device->accepts()) continue;
      // A note held for a consumer goes back to the customer; then nothing more is taken.
      if (device->hold.isActive()) {
        device->hold.stop();
        inhibited->expect();
        calls_.send(address, calls::routeBill(RouteCode::Return), in);
      }
      inhibited->expect();
      calls_.send(address, calls::setMaster(Master::Inhibit), in);
      device->enabled = false;
    }
  }
  inhibited->arm();
}

// One last read, so that a note stacked just now is journalled and published.
void Service::lastReads() {
  auto* read = new Barrier(
      kLastReadMs, [this] { flush(); }, this);
  for (auto& [address, device] : devices_) {
    if (!device->poller || !device->accepts() || !portOpen_) continue;
    EventPoller* poller = device->poller.get();
    read->expect();
    const auto in = [read, once = std::make_shared<bool>(false)] {
      if (!std::exchange(*once, true)) read->arrive();
    };
    connect(poller, &EventPoller::bufferRead, read, in);
    connect(poller, &EventPoller::pollFailed, read, in);
    poller->start();
    poller->stop();
  }
  read->arm();
}

void Service::flush() {
  journal_.checkpoint();
  publish(QStringLiteral("status"), compact(QJsonObject{{"state", "offline"}, {"time", now()}}),
          true);
  mqtt_.stop(kGoodbyeMs);
  bus_.close();
  payouts_.close();
  journal_.close();
  emit finished();
}

// ---- after the service ---------------------------------------------------------------------

namespace {

// Asks each address in turn what it is, and inhibits those that take money.
class InhibitRun : public QObject {
 public:
  using Done = std::function<void(int status, const QStringList& log)>;
  InhibitRun(const DaemonOptions& options, Done done) : options_(options), done_(std::move(done)) {
    configure(bus_, options);
  }

  void start() {
    if (!bus_.open()) {
      log_.append(QStringLiteral("cannot open %1: %2").arg(options_.port, bus_.errorString()));
      return finish();
    }
    findAddresses(calls_, options_, [this](const QList<quint8>& addresses) {
      addresses_ = addresses;
      next();
    });
  }

 private:
  void next() {
    if (addresses_.isEmpty()) return finish();
    const quint8 address = addresses_.takeFirst();
    calls_.send(address, calls::equipmentCategory(), [this, address](const CallReply<QString>& c) {
      const auto source = c.value ? sourceOf(*c.value) : std::nullopt;
      if (!source || *source == EventPoller::Source::Hopper) return next();
      calls_.send(
          address, calls::setMaster(Master::Inhibit),
          [this, address](const CallReply<Nothing>& master) {
            if (master.acknowledged) {
              ++inhibited_;
              log_.append(QStringLiteral("%1: inhibited").arg(address));
            } else {
              ++failed_;
              log_.append(QStringLiteral("%1: not inhibited: %2").arg(address).arg(master.caption));
            }
            next();
          });
    });
  }

  void finish() {
    bus_.close();
    if (inhibited_ + failed_ == 0) log_.append(QStringLiteral("no acceptor answered"));
    deleteLater();
    done_(failed_ == 0 && inhibited_ > 0 ? 0 : 1, log_);
  }

  DaemonOptions options_;
  Done done_;
  BusClient bus_;
  DeviceCalls calls_{&bus_};
  QList<quint8> addresses_;
  QStringList log_;
  int inhibited_ = 0;
  int failed_ = 0;
};

}  // namespace

void inhibitAcceptors(const DaemonOptions& options,
                      const std::function<void(int status, const QStringList& log)>& done) {
  auto* run = new InhibitRun(options, done);
  // Started from the loop, so that `done` always comes from it.
  QTimer::singleShot(0, run, [run] { run->start(); });
}

}  // namespace quennetd
