#include "quennetd/service.h"

#include <algorithm>

#include <QDateTime>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUuid>

#include "quennet/bus/event_poller.h"
#include "quennet/commands/dispatch.h"
#include "quennet/link/link_engine.h"
#include "quennet/link/quennet_error.h"

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

}  // namespace

Denomination noteDenomination(const QString& code, int scalingFactor) {
  Denomination d{code, {}, {}};
  if (code.size() < 6 || !allDigits(code.mid(2, 4))) return d;
  d.currency = code.left(2);
  if (scalingFactor > 0) d.value = code.mid(2, 4).toLongLong() * scalingFactor;
  return d;
}

Denomination coinDenomination(const QString& code) {
  Denomination d{code, {}, {}};
  if (code.size() < 5 || !code[0].isLetter()) return d;
  d.currency = code.left(2);
  if (allDigits(code.mid(2, 3))) d.value = code.mid(2, 3).toLongLong();
  return d;
}

struct Service::Device {
  quint8 address = 0;
  QString category;
  QString manufacturer;
  QString serial;
  std::optional<EventPoller::Source> source;
  std::unique_ptr<EventPoller> poller;
  bool identified = false;
  bool lost = false;
  bool primed = false;                // the first buffer since polling started has been read
  QList<Denomination> denominations;  // by position - 1
  std::optional<int> cursor;          // the counter last taken into account
  std::optional<int> storedCursor;
  QTimer hold;       // --escrow hold: returns the note when it runs out
  QString escrowId;  // the held note's stay in escrow, as published; empty once it is routed
  QString key() const { return QStringLiteral("%1/%2").arg(address).arg(serial); }
  bool accepts() const {
    return source == EventPoller::Source::BillValidator ||
           source == EventPoller::Source::CoinAcceptor;
  }
};

Service::Service(const DaemonOptions& options, QObject* parent)
    : QObject(parent),
      options_(options),
      gate_(options.allow, options.commandsPerSecond, options.commandBurst),
      payouts_(&bus_, options,
               [this](const QString& leaf, const QByteArray& payload) { publish(leaf, payload); }) {
  bus_.setPortName(options.port);
  bus_.setChecksumType(options.checksum8 ? quennet::CHKSM_8BIT : quennet::CHKSM_16BIT);
  bus_.setCommsEcho(options.echo);
  if (options.keyCode) {
    bus_.setKeyCode(*options.keyCode);
    bus_.setEncryption(true);
  }
  reopen_.setSingleShot(true);
  connect(&reopen_, &QTimer::timeout, this, &Service::openPort);
  commandWait_.setSingleShot(true);
  connect(&commandWait_, &QTimer::timeout, this, &Service::runCommands);
  resend_.setInterval(kResendIntervalMs);
  connect(&resend_, &QTimer::timeout, this, [this] {
    retryJournal();
    resendOutstanding();
  });
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
    publishStatus();
    resendOutstanding();
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
  mqtt.tlsCaFile = options_.tlsCaFile;
  mqtt.tlsCaPath = options_.tlsCaPath;
  mqtt.tlsCertFile = options_.tlsCertFile;
  mqtt.tlsKeyFile = options_.tlsKeyFile;
  mqtt.willTopic = options_.prefix + QStringLiteral("/status");
  mqtt.willPayload = compact(QJsonObject{{"state", "offline"}});
  mqtt.subscriptions = {options_.prefix + QStringLiteral("/ack"),
                        options_.prefix + QStringLiteral("/cmd"),
                        options_.prefix + QStringLiteral("/route")};
  // A journal that cannot be opened keeps every acceptor inhibited; the status says why.
  if (!journal_.open(options_.journal)) journalError_ = journal_.errorString();
  // Without it, requests that change something are refused (they could not be kept to once).
  if (journal_.isOpen()) payouts_.open(options_.journal);
  payouts_.setJournalProblem([this] { return journalError_; });
  payouts_.setBudget(&budget_);
  if (!mqtt_.start(mqtt, error)) return false;
  resend_.start();
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
  if (!journalError_.isEmpty()) line += QStringLiteral(", journal failed: ") + journalError_;
  if (!mqtt_.isConnected() && !brokerProblem_.isEmpty()) {
    line += QStringLiteral(", broker: ") + brokerProblem_;
  }
  return line;
}

// ---- the bus -------------------------------------------------------------------------------

Service::Call Service::call(quint8 address, const QString& method, const QVariantList& inputs,
                            BusClient::Priority priority) {
  std::unique_ptr<quennet::BusReply> reply;
  try {
    reply.reset(bus_.invoke(address, method, inputs, priority));
  } catch (const quennet::MisuseError& e) {
    return {quennet::kResultNotEnabled, e.message(), {}};
  }
  if (!reply->isFinished()) {
    QEventLoop loop;
    connect(reply.get(), &quennet::BusReply::finished, &loop, &QEventLoop::quit);
    loop.exec();
  }
  return {reply->result(), reply->caption(), reply->outputs()};
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
  const Call poll = call(0, QStringLiteral("AddressPoll"));
  QList<quint8> found;
  for (const QVariant& a : poll.outputs.value(QStringLiteral("Address")).toList()) {
    const int address = a.toInt();
    if (address > 0 && address < 256 && !found.contains(static_cast<quint8>(address))) {
      found.append(static_cast<quint8>(address));
    }
  }
  return found;
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
  if (device->category.contains(QLatin1String("Bill"), Qt::CaseInsensitive)) {
    device->source = EventPoller::Source::BillValidator;
  } else if (device->category.contains(QLatin1String("Coin"), Qt::CaseInsensitive)) {
    device->source = EventPoller::Source::CoinAcceptor;
  } else if (device->category.contains(QLatin1String("Payout"), Qt::CaseInsensitive) ||
             device->category.contains(QLatin1String("Hopper"), Qt::CaseInsensitive)) {
    device->source = EventPoller::Source::Hopper;
  }
  readDenominations(*device);
  device->identified = bus_.state() == BusClient::ConnectedState;
  if (device->identified && journal_.isOpen()) {
    device->cursor = journal_.cursor(device->key());
    device->storedCursor = device->cursor;
  }
  // A device never seen before: what its buffer holds is history. Where its counter stands is
  // learnt before it may accept anything, so that nothing after this point is taken for history.
  if (device->identified && !device->cursor && device->source) {
    const auto [method, output] = bufferMethod(*device->source);
    const Call read = call(address, method);
    const QVariantList buffer = read.outputs.value(output).toList();
    if (read.result == quennet::kResultOk && !buffer.isEmpty()) {
      device->cursor = buffer.front().toInt();
      if (journalError_.isEmpty() && journal_.setCursor(device->key(), *device->cursor)) {
        device->storedCursor = device->cursor;
      }
    }
  }
  return device;
}

void Service::readDenominations(Device& device) {
  device.denominations.clear();
  if (!device.accepts()) return;
  const bool notes = device.source == EventPoller::Source::BillValidator;
  std::map<QString, int> scaling;
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
    Denomination d = noteDenomination(code, 0);
    if (!d.currency.isEmpty()) {
      if (!scaling.contains(d.currency)) {
        const Call scale = call(device.address, QStringLiteral("RequestScaleFactor"), {d.currency});
        const QVariantList data = scale.outputs.value(QStringLiteral("ScaleData")).toList();
        scaling[d.currency] = scale.result == quennet::kResultOk && data.size() >= 2
                                  ? data[0].toInt() + 256 * data[1].toInt()
                                  : 0;
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
  ok = call(device.address, QStringLiteral("SetMasterInhibit"), {accepting() ? 1 : 0}).result ==
           quennet::kResultOk &&
       ok;
  return ok;
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
    publishEvent(*d, d->poller->lastCounter(), QStringLiteral("fault"),
                 QStringLiteral("%1 event(s) lost: the buffer keeps five").arg(count));
  });
  connect(poller, &EventPoller::counterReset, this, [this, d] {
    d->cursor = 0;
    publishEvent(*d, 0, QStringLiteral("reset"), QStringLiteral("Device reset"));
    requestInit(d->address);
  });
  connect(poller, &EventPoller::deviceLost, this, [this, d] {
    d->lost = true;
    publishEvent(*d, d->poller->lastCounter(), QStringLiteral("lost"),
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

void Service::onEvent(Device& device, const BusEvent& event) {
  const int newest = device.poller->lastCounter();
  if (!device.primed && !device.cursor) return;  // a device never seen before: learn its counter
  if (device.cursor) {
    const int ahead = EventPoller::eventsBetween(*device.cursor, event.counter);
    if (ahead < 1 || ahead > EventPoller::eventsBetween(*device.cursor, newest)) return;
  }
  const bool bill = device.source == EventPoller::Source::BillValidator;
  const EventKind kind = event.kind();
  if (kind == EventKind::Credit) credit(device, event);
  device.cursor = event.counter;
  publishEvent(device, event.counter,
               kind == EventKind::Credit  ? QStringLiteral("credit")
               : kind == EventKind::Fault ? QStringLiteral("fault")
                                          : QStringLiteral("status"),
               event.text);
  if (kind == EventKind::Escrow && event.counter == newest) escrow(device, event);
  if (bill && (kind == EventKind::Credit || event.a == 0)) {
    device.hold.stop();
    device.escrowId.clear();
  }
}

void Service::onBufferRead(Device& device, int counter) {
  if (!device.primed) {
    device.primed = true;
    // Reset while nobody watched: the counter starts again at 0.
    if (device.cursor && *device.cursor != 0 && counter == 0) {
      publishEvent(device, 0, QStringLiteral("reset"), QStringLiteral("Device reset"));
    }
  }
  device.cursor = counter;
  if (device.storedCursor != counter && journal_.isOpen() && journalError_.isEmpty()) {
    if (journal_.setCursor(device.key(), counter)) {
      device.storedCursor = counter;
    } else {
      journalFailed(journal_.errorString());
    }
  }
}

void Service::credit(Device& device, const BusEvent& event) {
  const bool note = device.source == EventPoller::Source::BillValidator;
  const int position = event.a;
  const Denomination d = position >= 1 && position <= device.denominations.size()
                             ? device.denominations[position - 1]
                             : Denomination{};
  JournalCredit credit;
  credit.id = QUuid::createUuid().toString(QUuid::WithoutBraces);
  QJsonObject o{{"id", credit.id},
                {"address", device.address},
                {"serial", device.serial},
                {"kind", note ? "note" : "coin"},
                {"position", position},
                {"code", d.code},
                {"currency", d.currency},
                {"value", d.value ? QJsonValue(static_cast<double>(*d.value)) : QJsonValue()},
                {"time", now()}};
  credit.payload = compact(o);
  // On disk first; only then may anybody hear of it.
  if (journalError_.isEmpty() && journal_.record(credit, device.key(), event.counter)) {
    device.storedCursor = event.counter;
  } else {
    unjournaled_.append(credit);
    journalFailed(journal_.errorString());
  }
  mqtt_.publish(options_.prefix + QStringLiteral("/credit"), credit.payload, 1, false);
}

void Service::escrow(Device& device, const BusEvent& event) {
  switch (options_.escrow) {
    case EscrowPolicy::Stack:
    case EscrowPolicy::Return: {
      const std::uint8_t route =
          options_.escrow == EscrowPolicy::Stack && accepting() ? kRouteStack : kRouteReturn;
      bus_.invoke(device.address, QStringLiteral("RouteBill"), {route}, BusClient::Priority::High)
          ->deleteLater();
      return;
    }
    case EscrowPolicy::Hold:
      break;
  }
  const Denomination d =
      event.a <= device.denominations.size() ? device.denominations[event.a - 1] : Denomination{};
  device.escrowId = QUuid::createUuid().toString(QUuid::WithoutBraces);
  publish(QStringLiteral("escrow"),
          compact(QJsonObject{
              {"id", device.escrowId},
              {"address", device.address},
              {"position", event.a},
              {"code", d.code},
              {"currency", d.currency},
              {"value", d.value ? QJsonValue(static_cast<double>(*d.value)) : QJsonValue()},
              {"time", now()}}));
  device.hold.start(options_.escrowTimeoutMs);
}

void Service::holdExpired(quint8 address) {
  if (const auto it = devices_.find(address); it != devices_.end()) it->second->escrowId.clear();
  if (!portOpen_) return;
  bus_.invoke(address, QStringLiteral("RouteBill"), {kRouteReturn}, BusClient::Priority::High)
      ->deleteLater();
}

void Service::journalFailed(const QString& why) {
  const bool first = journalError_.isEmpty();
  journalError_ = why.isEmpty() ? QStringLiteral("cannot write") : why;
  if (!first) return;
  // No acceptance without a journal: every acceptor's master inhibit goes on.
  for (const auto& [address, device] : devices_) {
    if (device->accepts() && portOpen_) {
      bus_.invoke(address, QStringLiteral("SetMasterInhibit"), {0}, BusClient::Priority::High)
          ->deleteLater();
    }
  }
  publishStatus();
}

void Service::retryJournal() {
  if (journalError_.isEmpty()) return;
  if (!journal_.isOpen() && !journal_.open(options_.journal)) return;
  while (!unjournaled_.isEmpty()) {
    const JournalCredit& credit = unjournaled_.front();
    // The device's counter has moved on meanwhile; only the credit is written.
    if (!journal_.record(credit, QString(), 0)) return;
    unjournaled_.removeFirst();
  }
  journalError_.clear();
  for (const auto& [address, device] : devices_) {
    if (device->identified) requestInit(address);
  }
  publishStatus();
}

void Service::resendOutstanding() {
  if (!mqtt_.isConnected()) return;
  const QString topic = options_.prefix + QStringLiteral("/credit");
  if (journal_.isOpen()) {
    for (const JournalCredit& credit : journal_.outstanding()) {
      mqtt_.publish(topic, credit.payload, 1, false);
    }
  }
  for (const JournalCredit& credit : unjournaled_) mqtt_.publish(topic, credit.payload, 1, false);
  payouts_.resend();
}

// ---- MQTT ----------------------------------------------------------------------------------

void Service::publish(const QString& leaf, const QByteArray& payload, bool retain) {
  mqtt_.publish(options_.prefix + u'/' + leaf, payload, 1, retain);
}

void Service::publishEvent(const Device& device, int counter, const QString& kind,
                           const QString& text) {
  publish(QStringLiteral("event"), compact(QJsonObject{{"address", device.address},
                                                       {"counter", counter},
                                                       {"kind", kind},
                                                       {"text", text},
                                                       {"time", now()}}));
}

void Service::publishStatus() {
  QJsonArray list;
  for (const auto& [address, device] : devices_) {
    list.append(QJsonObject{{"address", address},
                            {"category", device->category},
                            {"manufacturer", device->manufacturer},
                            {"serial", device->serial},
                            {"state", device->identified && !device->lost ? "ok" : "lost"}});
  }
  QJsonObject o{{"state", portOpen_ ? "online" : "port-lost"},
                {"port", options_.port},
                {"devices", list},
                {"accepting", accepting() && portOpen_},
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
  unjournaled_.removeIf([&](const JournalCredit& entry) { return entry.id == id; });
  if (journal_.isOpen() && journalError_.isEmpty()) journal_.acknowledge(id);
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
  quennet::BusReply* reply = nullptr;
  try {
    reply = bus_.invoke(command.address, command.method, command.inputs,
                        route ? BusClient::Priority::High : BusClient::Priority::Normal);
  } catch (const quennet::MisuseError& e) {
    replyError(command.id, e.message());
    return runCommands();
  }
  if (route) {
    const auto it = devices_.find(command.address);
    if (it != devices_.end()) {
      it->second->hold.stop();
      it->second->escrowId.clear();
    }
  }
  commandOnLine_ = true;
  QElapsedTimer onLine;
  onLine.start();
  connect(reply, &quennet::BusReply::finished, this, [this, reply, onLine, id = command.id] {
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
    return !escrow.isEmpty() && entry.second->escrowId == escrow && entry.second->hold.isActive();
  });
  if (held == devices_.end()) return refuse(id, kEscrowChanged);
  Device& device = *held->second;
  device.hold.stop();
  device.escrowId.clear();
  const std::uint8_t how = action == u"stack" && accepting() ? kRouteStack : kRouteReturn;
  quennet::BusReply* reply =
      bus_.invoke(device.address, QStringLiteral("RouteBill"), {how}, BusClient::Priority::High);
  connect(reply, &quennet::BusReply::finished, this, [this, reply, id, escrow, payload, how] {
    reply->deleteLater();
    const QByteArray answer =
        compact(QJsonObject{{"id", id},
                            {"escrow", escrow},
                            {"action", how == kRouteStack ? "stack" : "return"},
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
  retryJournal();
  journal_.checkpoint();
  publish(QStringLiteral("status"), compact(QJsonObject{{"state", "offline"}, {"time", now()}}),
          true);
  mqtt_.stop(kGoodbyeMs);
  bus_.close();
  payouts_.close();
  journal_.close();
  emit finished();
}

}  // namespace quennetd
