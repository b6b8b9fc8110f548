#include "quennetd/service.h"

#include <algorithm>
#include <cstdlib>

#include <QDateTime>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "quennet/bus/bus_reply.h"

#include "quennet/bus/event_poller.h"
#include "quennet/commands/dispatch.h"
#include "quennet/link/link_engine.h"
#include "quennet/link/quennet_error.h"
#include "quennetd/kill_point.h"

namespace quennetd {

namespace {

using quennet::BusClient;
using quennet::BusEvent;
using quennet::EventPoller;

constexpr int kPositions = 16;
constexpr int kLongestBackoffMs = 30000;
constexpr int kFirstBackoffMs = 1000;
constexpr int kIdentifyRetryMs = 5000;
constexpr int kGoodbyeMs = 3000;
constexpr int kLastReadMs = 3000;
using quennet::EventKind;
using quennet::kRouteReturn;
using quennet::kRouteStack;
constexpr int kStackerAndEscrow = quennet::kBillModeStacker | quennet::kBillModeEscrow;
// A route for a note that is no longer the one in escrow.
const QString kEscrowChanged = QStringLiteral("escrow changed");
constexpr auto kNoteReturned = static_cast<std::uint8_t>(quennet::BillStatus::Returned);
constexpr int kBufferedEvents = 5;

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

// The method that reads a device's event buffer (its counter first), and its output.
std::pair<QString, QString> bufferMethod(EventPoller::Source source) {
  switch (source) {
    case EventPoller::Source::CoinAcceptor:
      return {QStringLiteral("GetCoinBuffer"), QStringLiteral("bytBuffer")};
    case EventPoller::Source::Hopper:
      return {QStringLiteral("Get_Hopper_Status"), QStringLiteral("Status")};
    case EventPoller::Source::BillValidator:
      break;
  }
  return {QStringLiteral("GetEventBuffer"), QStringLiteral("bytBuffer")};
}

// One request and its reply, the event loop running meanwhile.
struct Answer {
  int result = 0;
  QString caption;
  QVariantMap outputs;
  bool acknowledged = false;
  QString serial;  // a serial number's reply as the device's label reads it
};

Answer ask(BusClient& bus, quint8 address, const QString& method, const QVariantList& inputs = {},
           BusClient::Priority priority = BusClient::Priority::Normal) {
  std::unique_ptr<quennet::BusReply> reply;
  try {
    reply.reset(bus.invoke(address, method, inputs, priority));
  } catch (const quennet::MisuseError& e) {
    return {quennet::kResultNotEnabled, e.message(), {}, false, {}};
  }
  if (!reply->isFinished()) {
    QEventLoop loop;
    QObject::connect(reply.get(), &quennet::BusReply::finished, &loop, &QEventLoop::quit);
    loop.exec();
  }
  return {reply->result(), reply->caption(), reply->outputs(), reply->busResult().acknowledged,
          reply->busResult().serial};
}

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

QList<quint8> pollAddresses(BusClient& bus) {
  QList<quint8> found;
  for (const QVariant& a : ask(bus, 0, QStringLiteral("AddressPoll"))
                               .outputs.value(QStringLiteral("Address"))
                               .toList()) {
    const int address = a.toInt();
    if (address > 0 && address < 256 && !found.contains(static_cast<quint8>(address))) {
      found.append(static_cast<quint8>(address));
    }
  }
  return found;
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
  QString category;
  QString manufacturer;
  QString serial;  // as GetSerialNo renders it: the journal's name for the device
  QString label;   // as the device's label reads it: what status and credits show
  std::optional<EventPoller::Source> source;
  std::unique_ptr<EventPoller> poller;
  bool identified = false;
  bool lost = false;
  bool enabled = false;               // its master inhibit opened by this service, since no reset
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
  bool accepts() const {
    return source == EventPoller::Source::BillValidator ||
           source == EventPoller::Source::CoinAcceptor;
  }
  bool isValidator() const { return source == EventPoller::Source::BillValidator; }
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
  connect(&resend_, &QTimer::timeout, this, &Service::resendOutstanding);
  journalRetry_.setInterval(kJournalRetryMs);
  connect(&journalRetry_, &QTimer::timeout, this, &Service::retryJournal);
  journalWatch_.setInterval(kJournalWatchMs);
  connect(&journalWatch_, &QTimer::timeout, this, [this] { journalWritable(); });
  identifyAgain_.setInterval(kIdentifyRetryMs);
  connect(&identifyAgain_, &QTimer::timeout, this, [this] {
    for (const auto& [address, device] : devices_) {
      if (!device->identified) requestInit(address);
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
  if (!clientLock_.acquire(
          QStringLiteral("%1:%2/%3").arg(mqtt.host).arg(mqtt.port).arg(mqtt.clientId), &holder,
          &why)) {
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
  mqtt.willTopic = options_.prefix + QStringLiteral("/status");
  mqtt.willPayload = compact(QJsonObject{{"state", "offline"}});
  mqtt.subscriptions = {options_.prefix + QStringLiteral("/ack"),
                        options_.prefix + QStringLiteral("/cmd"),
                        options_.prefix + QStringLiteral("/route")};
  // A journal that cannot be opened keeps every acceptor inhibited; the status says why. One that
  // another service holds is that service's: this one does not start.
  if (!journal_.open(options_.journal)) {
    if (journal_.inUse()) {
      *error = QStringLiteral("the journal %1 is in use by another quennetd").arg(options_.journal);
      return false;
    }
    journalError_ = journal_.errorString();
    journalRetry_.start();
  }
  // Without the journal, requests that change something are refused (they could not be kept to
  // once). The ledger lives in the journal's file, behind the journal's lock.
  if (journal_.isOpen()) payouts_.open(options_.journal);
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
  for (const auto& [address, device] : devices_) lost += device->lost ? 1 : 0;
  line += QStringLiteral(", %1 device(s), %2 lost").arg(devices_.size()).arg(lost);
  if (journalLost_) {
    line += QStringLiteral(", journal lost: %1 was deleted or replaced").arg(options_.journal);
  } else if (!journalError_.isEmpty()) {
    line += QStringLiteral(", journal failed: ") + journalError_;
  }
  if (!accepting()) line += QStringLiteral(", not accepting");
  if (!mqtt_.isConnected() && !brokerProblem_.isEmpty()) {
    line += QStringLiteral(", broker: ") + brokerProblem_;
  }
  return line;
}

bool Service::mayAccept() const {
  return journalError_.isEmpty() && !stopping_ &&
         (!options_.inhibitWithoutBroker || mqtt_.isConnected());
}

bool Service::accepting() const {
  if (!mayAccept() || !portOpen_) return false;
  return std::any_of(devices_.begin(), devices_.end(), [](const auto& entry) {
    const Device& d = *entry.second;
    return d.accepts() && d.enabled && !d.lost;
  });
}

// ---- the bus -------------------------------------------------------------------------------

Service::Call Service::call(quint8 address, const QString& method, const QVariantList& inputs,
                            BusClient::Priority priority) {
  const Answer answer = ask(bus_, address, method, inputs, priority);
  return {answer.result, answer.caption, answer.outputs, answer.serial};
}

void Service::openPort() {
  if (stopping_) return;
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
  if (stopping_) return;
  // Back off 1 s, 2 s, 4 s ... up to 30 s between attempts.
  reopen_.start(backoffMs_);
  backoffMs_ = std::min(backoffMs_ * 2, kLongestBackoffMs);
}

QList<quint8> Service::findAddresses() {
  if (!options_.devices.isEmpty()) {
    QList<quint8> list;
    for (const std::uint8_t a : options_.devices) list.append(a);
    return list;
  }
  return pollAddresses(bus_);
}

std::shared_ptr<Service::Device> Service::identify(quint8 address) {
  auto device = std::make_shared<Device>();
  device->address = address;
  device->hold.setSingleShot(true);
  connect(&device->hold, &QTimer::timeout, this, [this, address] { holdExpired(address); });
  const QString text = QStringLiteral("strResponse");
  const Call category = call(address, QStringLiteral("GetEqptID"));
  if (category.result != quennet::kResultOk) return device;
  device->category = category.outputs.value(text).toString();
  device->manufacturer =
      call(address, QStringLiteral("GetManfctrID")).outputs.value(text).toString();
  const Call serial = call(address, QStringLiteral("GetSerialNo"));
  if (serial.result != quennet::kResultOk) return device;
  device->serial = serial.outputs.value(text).toString();
  device->label = serial.serial;
  device->source = sourceOf(device->category);
  readDenominations(*device);
  device->identified = bus_.state() == BusClient::ConnectedState;
  if (device->identified && journal_.isOpen() && !journalLost_) {
    device->mark = journal_.mark(device->key());
    device->stored = device->mark;
    device->pending = journal_.pending(device->key());
  }
  // A device never seen before: what its buffer holds is history. Where its counter stands is
  // learnt before it may accept anything, so that nothing after this point is taken for history.
  if (device->identified && !device->mark && device->source) {
    const auto [method, output] = bufferMethod(*device->source);
    const Call read = call(address, method);
    const QVariantList buffer = read.outputs.value(output).toList();
    if (read.result == quennet::kResultOk && !buffer.isEmpty()) {
      device->mark = DeviceMark{newEpoch(), buffer.front().toInt(), 0};
      if (journalWritable() && journal_.setMark(device->key(), *device->mark)) {
        device->stored = device->mark;
      }
    }
  }
  return device;
}

void Service::readDenominations(Device& device) {
  device.denominations.clear();
  if (!device.accepts()) return;
  const bool notes = device.source == EventPoller::Source::BillValidator;
  std::map<QString, std::optional<Scale>> scaling;
  for (int position = 1; position <= kPositions; ++position) {
    const Call id =
        call(device.address,
             notes ? QStringLiteral("RequestBillID") : QStringLiteral("RequestCoinID"), {position});
    const QString code = id.result == quennet::kResultOk
                             ? id.outputs.value(QStringLiteral("Response")).toString()
                             : QString();
    if (!notes) {
      device.denominations.append(coinDenomination(code));
      continue;
    }
    Denomination d = noteDenomination(code, std::nullopt);
    if (!d.currency.isEmpty()) {
      if (!scaling.contains(d.currency)) {
        // Factor (low byte first) and decimal places.
        const Call scale = call(device.address, QStringLiteral("RequestScaleFactor"), {d.currency});
        const QVariantList data = scale.outputs.value(QStringLiteral("ScaleData")).toList();
        scaling[d.currency] = scale.result == quennet::kResultOk && data.size() >= 3
                                  ? std::optional<Scale>(Scale{
                                        data[0].toInt() + 256 * data[1].toInt(), data[2].toInt()})
                                  : std::nullopt;
      }
      d = noteDenomination(code, scaling[d.currency]);
    }
    device.denominations.append(d);
  }
}

bool Service::initialise(Device& device) {
  if (!device.accepts()) {
    if (device.source == EventPoller::Source::Hopper && options_.enableHopper) {
      return call(device.address, QStringLiteral("Enable_Hopper")).result == quennet::kResultOk;
    }
    return true;
  }
  const std::uint16_t mask =
      options_.notes == u"none" ? 0 : maskOf(device.denominations, options_.notes);
  QVariantList inhibits{QVariantList{mask & 0xFF, mask >> 8}};
  bool ok = call(device.address, QStringLiteral("SetInhibitStatus"), inhibits).result ==
            quennet::kResultOk;
  if (device.source == EventPoller::Source::BillValidator) {
    call(device.address, QStringLiteral("SetBillOperatingMode"), {kStackerAndEscrow});
  }
  const bool open = mayAccept();
  const Call master = call(device.address, QStringLiteral("SetMasterInhibit"), {open ? 1 : 0});
  device.enabled = open && ok && master.result == quennet::kResultOk;
  return ok && master.result == quennet::kResultOk;
}

void Service::startPolling(const std::shared_ptr<Device>& device) {
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
    publishEvent(*d, d->poller->lastCounter(), QStringLiteral("lost"),
                 QStringLiteral("%1 event(s) lost: the buffer keeps five").arg(count),
                 {{"count", count}});
  });
  connect(poller, &EventPoller::counterReset, this, [this, d] { onReset(*d); });
  connect(poller, &EventPoller::deviceLost, this, [this, d] {
    d->lost = true;
    publishEvent(*d, d->poller->lastCounter(), QStringLiteral("fault"),
                 QStringLiteral("Device not answering"));
    publishStatus();
  });
  connect(poller, &EventPoller::deviceBack, this, [this, d] {
    d->lost = false;
    publishEvent(*d, d->poller->lastCounter(), QStringLiteral("status"),
                 QStringLiteral("Device answering again"));
    publishStatus();
    // It may have lost its power meanwhile: its inhibits with it.
    requestInit(d->address);
  });
  d->primed = false;
  d->primedFrom = d->mark ? std::optional<int>(d->mark->counter) : std::nullopt;
  d->held.reset();
  poller->start();
}

void Service::bringUp() {
  busy_ = true;
  devices_.clear();
  for (const quint8 address : findAddresses()) {
    if (bus_.state() != BusClient::ConnectedState || stopping_) break;
    auto device = identify(address);
    devices_[address] = device;
    if (device->identified) initialise(*device);
  }
  busy_ = false;
  if (!portOpen_ || bus_.state() != BusClient::ConnectedState) {
    devices_.clear();
  } else {
    for (auto& [address, device] : devices_) {
      if (device->identified) startPolling(device);
    }
  }
  publishStatus();
  payouts_.reconcile();
  runPendingInits();
}

void Service::requestInit(quint8 address) {
  if (!pendingInits_.contains(address)) pendingInits_.append(address);
  if (!busy_) QTimer::singleShot(0, this, &Service::runPendingInits);
}

void Service::runPendingInits() {
  if (busy_) return;
  if (stopping_) return finishShutdown();
  busy_ = true;
  while (!pendingInits_.isEmpty() && portOpen_ && !stopping_) {
    const quint8 address = pendingInits_.takeFirst();
    auto it = devices_.find(address);
    if (it == devices_.end()) continue;
    std::shared_ptr<Device> device = it->second;
    if (!device->identified) {
      auto fresh = identify(address);
      if (!fresh->identified) continue;
      devices_[address] = fresh;
      device = fresh;
    }
    initialise(*device);
    if (portOpen_) startPolling(device);
  }
  busy_ = false;
  if (!portOpen_) devices_.clear();
  publishStatus();
  if (stopping_) finishShutdown();
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
  if (bill && (kind == EventKind::Credit || event.a == 0)) {
    device.hold.stop();
    device.held.reset();
  }
  if (kind == EventKind::Escrow && event.counter == newest) escrow(device, event, next);
}

void Service::onBufferRead(Device& device, int counter) {
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
        if (missed > 0) {
          publishEvent(device, counter, QStringLiteral("lost"),
                       QStringLiteral("%1 event(s) lost: the buffer keeps five").arg(missed),
                       {{"count", missed}});
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
  if (device.stored != device.mark && journalWritable()) {
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
  if (!noteReturned(device, next)) device.replay = true;
  if (!device.replay) device.mark = next;
  publishEvent(device, 0, QStringLiteral("reset"), QStringLiteral("Device reset"));
  publishStatus();
  requestInit(device.address);
}

bool Service::credit(Device& device, const BusEvent& event, DeviceMark next) {
  if (!journalWritable()) return false;
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
  const Denomination d = position >= 1 && position <= device.denominations.size()
                             ? device.denominations[position - 1]
                             : Denomination{};
  next.seq += 1;
  QJsonObject o{{"id", id},
                {"address", device.address},
                {"serial", device.label},
                {"kind", note ? "note" : "coin"},
                {"position", position},
                {"code", d.code},
                {"currency", d.currency},
                {"value", d.value ? QJsonValue(static_cast<double>(*d.value)) : QJsonValue()},
                {"counter", counter},
                {"seq", static_cast<double>(next.seq)},
                {"time", now()}};
  if (d.scale) {
    o.insert(QStringLiteral("scale"),
             QJsonObject{{"factor", d.scale->factor}, {"decimals", d.scale->decimals}});
  }
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
  mqtt_.publish(options_.prefix + QStringLiteral("/credit"), credit.payload, 1, false);
  return true;
}

bool Service::noteReturned(Device& device, const DeviceMark& next) {
  if (!device.pending) return true;
  if (!journalWritable() || !journal_.dropPending(device.key(), device.pending->id, next)) {
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
      route(device.address, kRouteReturn);
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

quennet::BusReply* Service::routeToStacker(Device& device) {
  if (!journalNote(device)) {
    device.held.reset();
    return route(device.address, kRouteReturn);
  }
  killPoint("after-journal");
  quennet::BusReply* reply = bus_.invoke(device.address, QStringLiteral("RouteBill"), {kRouteStack},
                                         BusClient::Priority::High);
  connect(reply, &quennet::BusReply::finished, this, [reply] {
    if (reply->busResult().acknowledged) killPoint("after-stack");
    reply->deleteLater();
  });
  return reply;
}

quennet::BusReply* Service::route(quint8 address, std::uint8_t how) {
  if (!portOpen_) return nullptr;
  quennet::BusReply* reply =
      bus_.invoke(address, QStringLiteral("RouteBill"), {how}, BusClient::Priority::High);
  connect(reply, &quennet::BusReply::finished, reply, &QObject::deleteLater);
  return reply;
}

void Service::holdExpired(quint8 address) {
  const auto it = devices_.find(address);
  if (it != devices_.end()) it->second->held.reset();
  route(address, kRouteReturn);
}

// ---- the journal ---------------------------------------------------------------------------

bool Service::journalWritable() {
  if (journalLost_) return false;
  if (journal_.isOpen() && !journal_.stillThere()) {
    // Deleted or replaced: whatever is written now would be lost with the old file.
    journalLost_ = true;
    journalFailed(QStringLiteral("lost"));
    return false;
  }
  return journalError_.isEmpty() && journal_.isOpen();
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
  if (journalLost_ || stopping_) return;
  if (!journal_.isOpen() && !journal_.open(options_.journal)) {
    journalError_ = journal_.errorString();
    return publishStatus();
  }
  if (!journal_.probe()) {
    journalError_ = journal_.errorString();
    return publishStatus();
  }
  journalError_.clear();
  journalRetry_.stop();
  for (auto& [address, device] : devices_) {
    if (!device->identified) continue;
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

void Service::inhibitAll() {
  for (const auto& [address, device] : devices_) {
    if (!device->accepts()) continue;
    device->enabled = false;
    if (portOpen_) {
      bus_.invoke(address, QStringLiteral("SetMasterInhibit"), {0}, BusClient::Priority::High)
          ->deleteLater();
    }
  }
  publishStatus();
}

void Service::enableAgain() {
  if (!mayAccept()) return;
  for (const auto& [address, device] : devices_) {
    if (device->identified && device->accepts() && !device->enabled) requestInit(address);
  }
}

void Service::resendOutstanding() {
  if (!mqtt_.isConnected() || !journal_.isOpen() || journalLost_) return;
  const QString topic = options_.prefix + QStringLiteral("/credit");
  for (const JournalCredit& credit : journal_.outstanding()) {
    mqtt_.publish(topic, credit.payload, 1, false);
  }
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
                            {"state", device->identified && !device->lost ? "ok" : "lost"}});
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
  if (id.isEmpty()) return;
  // An ack the journal cannot take now is asked for again: the credit is published again.
  if (journalWritable()) journal_.acknowledge(id);
  payouts_.acknowledge(id);
}

void Service::replyError(const QJsonValue& id, const QString& error) {
  publish(QStringLiteral("reply"), errorReply(id, error));
}

void Service::onCommand(const QByteArray& payload) {
  if (!stopping_ && payouts_.take(payload, [this] { return gate_.admit(); })) return;
  const GateResult checked = gate_.check(payload);
  if (!checked.command) return replyError(checked.id, checked.error);
  const Command& command = *checked.command;
  if (stopping_) return replyError(command.id, shuttingDown());
  // Only a device that answers its polls gets commands: anything else would wait out a time-out
  // on the line for every request.
  const auto device = devices_.find(command.address);
  if (device == devices_.end() || !device->second->identified || device->second->lost) {
    return replyError(command.id,
                      QStringLiteral("no device answering at address %1").arg(command.address));
  }
  // What changes a device runs once by its id, kept in the journal.
  if (!CommandGate::isOpen(command.method)) return payouts_.run(command, payload);
  // A route is for the note a customer is waiting on: it goes ahead of the other commands, and
  // only routes can make another route wait.
  const auto isRoute = [](const Command& c) { return c.method == u"RouteBill"; };
  const bool route = isRoute(command);
  const qsizetype ahead =
      route ? std::count_if(commands_.begin(), commands_.end(), isRoute) : commands_.size();
  if (ahead >= kCommandQueueLength) return replyError(command.id, QStringLiteral("busy"));
  commands_.insert(route ? ahead : commands_.size(), command);
  runCommands();
}

void Service::runCommands() {
  if (commandOnLine_ || commands_.isEmpty()) return;
  const bool route = commands_.front().method == u"RouteBill";
  const int waitMs = route ? 0 : budget_.waitMs();
  if (waitMs > 0) return commandWait_.start(waitMs);
  const Command command = commands_.takeFirst();
  const bool stack = route && command.inputs.value(0).toInt() == kRouteStack;
  if (route) {
    const auto it = devices_.find(command.address);
    Device* device = it != devices_.end() ? it->second.get() : nullptr;
    if (device) device->hold.stop();
    // The held note is journalled before it may be stacked; without a journal it goes back.
    if (device && stack && device->held) {
      if (!journalNote(*device)) {
        device->held.reset();
        this->route(device->address, kRouteReturn);
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
    publish(QStringLiteral("reply"),
            compact(QJsonObject{{"id", id},
                                {"result", reply->result()},
                                {"status", reply->caption()},
                                {"acknowledged", reply->acknowledged()},
                                {"outputs", QJsonObject::fromVariantMap(reply->outputs())}}));
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
  if (stopping_) return refuse(id, QStringLiteral("shutting down"));
  // Asked again: the answer it had; the note is not routed twice.
  if (const auto stored = payouts_.storedReply(id)) {
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
  quennet::BusReply* reply = nullptr;
  if (action == u"stack") {
    reply = routeToStacker(device);
  } else {
    device.held.reset();
    reply = route(device.address, kRouteReturn);
  }
  if (!reply) return refuse(id, QStringLiteral("port lost: ") + portError_);
  const bool stacked = device.pending && device.pending->id == escrow && device.held;
  connect(reply, &quennet::BusReply::finished, this, [this, reply, id, escrow, payload, stacked] {
    const QByteArray answer =
        compact(QJsonObject{{"id", id},
                            {"escrow", escrow},
                            {"action", stacked ? "stack" : "return"},
                            {"result", reply->result()},
                            {"status", reply->caption()},
                            {"acknowledged", reply->acknowledged()},
                            {"outputs", QJsonObject::fromVariantMap(reply->outputs())}});
    payouts_.remember(id, payload, answer);
    publish(QStringLiteral("reply"), answer);
  });
}

// ---- the end -------------------------------------------------------------------------------

void Service::shutdown() {
  if (stopping_) return;
  stopping_ = true;
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
  if (portOpen_) {
    for (auto& [address, device] : devices_) {
      if (!device->accepts()) continue;
      // A note held for a consumer goes back to the customer; then nothing more is taken.
      if (device->hold.isActive()) {
        device->hold.stop();
        call(address, QStringLiteral("RouteBill"), {kRouteReturn}, BusClient::Priority::High);
      }
      call(address, QStringLiteral("SetMasterInhibit"), {0});
      device->enabled = false;
    }
    // One last read, so that a note stacked just now is journalled and published.
    for (auto& [address, device] : devices_) {
      if (!device->poller || !device->accepts() || !portOpen_) continue;
      QEventLoop loop;
      connect(device->poller.get(), &EventPoller::bufferRead, &loop, &QEventLoop::quit);
      connect(device->poller.get(), &EventPoller::pollFailed, &loop, &QEventLoop::quit);
      QTimer::singleShot(kLastReadMs, &loop, &QEventLoop::quit);
      device->poller->start();
      device->poller->stop();
      loop.exec();
    }
  }
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

int inhibitAcceptors(const DaemonOptions& options, QStringList* log) {
  BusClient bus;
  configure(bus, options);
  if (!bus.open()) {
    log->append(QStringLiteral("cannot open %1: %2").arg(options.port, bus.errorString()));
    return 1;
  }
  QList<quint8> addresses;
  for (const std::uint8_t a : options.devices) addresses.append(a);
  if (addresses.isEmpty()) addresses = pollAddresses(bus);
  int inhibited = 0;
  int failed = 0;
  for (const quint8 address : addresses) {
    const Answer category = ask(bus, address, QStringLiteral("GetEqptID"));
    const auto source = sourceOf(category.outputs.value(QStringLiteral("strResponse")).toString());
    if (category.result != quennet::kResultOk || !source ||
        *source == EventPoller::Source::Hopper) {
      continue;
    }
    const Answer master = ask(bus, address, QStringLiteral("SetMasterInhibit"), {0});
    if (master.acknowledged) {
      ++inhibited;
      log->append(QStringLiteral("%1: inhibited").arg(address));
    } else {
      ++failed;
      log->append(QStringLiteral("%1: not inhibited: %2").arg(address).arg(master.caption));
    }
  }
  bus.close();
  if (inhibited + failed == 0) log->append(QStringLiteral("no acceptor answered"));
  return failed == 0 && inhibited > 0 ? 0 : 1;
}

}  // namespace quennetd
