#include "quennetd/service.h"

#include <algorithm>

#include "quennet/bus/event_poller.h"
#include "quennet/link/port_access.h"
#include "quennet/link/quennet_error.h"
#include "quennetd/bus_setup.h"
#include "quennetd/payloads.h"

namespace quennetd {

namespace {

using quennet::BusClient;
using quennet::BusEvent;
using quennet::EventPoller;

constexpr int kLongestBackoffMs = 30000;
constexpr int kFirstBackoffMs = 1000;
constexpr int kIdentifyRetryMs = 5000;

}  // namespace

Service::Service(const DaemonOptions& options, QObject* parent)
    : QObject(parent),
      options_(options),
      health_(options),
      payouts_(&bus_, options,
               [this](const QString& leaf, const QByteArray& payload) { publish(leaf, payload); }),
      book_(options, &devices_, &calls_, &health_,
            [this](const QString& leaf, const QByteArray& payload) { publish(leaf, payload); }),
      consumers_(
          options, &bus_, &devices_, &book_, &payouts_, &health_,
          [this](const QString& leaf, const QByteArray& payload) { publish(leaf, payload); }) {
  configureBus(bus_, options);
  for (const std::uint8_t address : options.devices) {
    if (const auto link = configuredLink(options, address)) modes_[address] = framingWord(*link);
  }
  book_.setConditions([this] { return mayAccept(); }, [this] { return portOpen_; });
  connect(&book_, &CreditBook::statusChanged, this, &Service::publishStatus);
  connect(&book_, &CreditBook::initWanted, this, &Service::requestInit);
  consumers_.setPortError([this] { return portError_; });
  connect(&health_, &JournalHealth::failedNow, this, &Service::inhibitAll);
  connect(&health_, &JournalHealth::changed, this, &Service::publishStatus);
  connect(&health_, &JournalHealth::recovered, this, &Service::journalRecovered);
  connect(&health_, &JournalHealth::note, this, &Service::statusChanged);
  connect(&payouts_, &Payouts::note, this, &Service::statusChanged);
  // The ledger has its own connection to the journal's file.
  health_.setOtherConnections(
      [this] {
        ledgerReopens_ = payouts_.isOpen();
        payouts_.close();
      },
      [this] {
        if (ledgerReopens_) openLedger();
      });
  payouts_.setCreditJournal(&health_.journal());
  reopen_.setSingleShot(true);
  connect(&reopen_, &QTimer::timeout, this, &Service::openPort);
  resend_.setInterval(kResendIntervalMs);
  connect(&resend_, &QTimer::timeout, this, [this] {
    // The journal's clock reaches the file at least this often.
    if (health_.writable()) health_.journal().saveClock();
    resendOutstanding();
  });
  watch_.setInterval(kJournalWatchMs);
  connect(&watch_, &QTimer::timeout, this, &Service::watch);
  identifyAgain_.setInterval(kIdentifyRetryMs);
  connect(&identifyAgain_, &QTimer::timeout, this, [this] {
    if (devices_.empty()) return searchAgain();
    for (const auto& [address, device] : devices_) {
      if (device->state == DeviceState::Identifying) requestInit(address);
    }
  });
  connect(&bus_, &BusClient::errorOccurred, this, [this](int) {
    if (portOpen_ && bus_.state() == BusClient::UnconnectedState) {
      portFailed(quennet::commsErrorText(bus_.errorString()));
    }
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
  connect(&mqtt_, &MqttLink::messageReceived, &consumers_, &ConsumerCommands::onMessage);
  connect(&mqtt_, &MqttLink::messageRefused, &consumers_, &ConsumerCommands::onRefused);
}

Service::~Service() = default;

bool Service::start(QString* error) {
  CommandGate& gate = consumers_.gate();
  if (!gate.unknownAllowed().isEmpty()) {
    *error = QStringLiteral("allow: no such method with a device: %1")
                 .arg(gate.unknownAllowed().join(QStringLiteral(", ")));
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
  mqtt.willPayload = payloads::offline(false);
  mqtt.subscriptions = {options_.prefix + QStringLiteral("/ack"),
                        options_.prefix + QStringLiteral("/cmd"),
                        options_.prefix + QStringLiteral("/route")};
  // A journal that cannot be opened keeps every acceptor inhibited; the status says why. One that
  // another service holds is that service's: this one does not start. Nor on a journal other
  // than the one last written, unless told to.
  if (!health_.start(error)) return false;
  // Without the journal, requests that change something are refused (they could not be kept to
  // once). The ledger lives in the journal's file, behind the journal's lock.
  if (health_.journal().isOpen()) openLedger();
  payouts_.setJournalProblem([this] { return health_.writable() ? QString() : health_.text(); });
  payouts_.setBudget(&consumers_.budget());
  if (!mqtt_.start(mqtt, error)) return false;
  resend_.start();
  watch_.start();
  identifyAgain_.start();
  openPort();
  return true;
}

QString Service::statusLine() const {
  QString line = portOpen_ ? QStringLiteral("online on %1").arg(options_.port)
                           : QStringLiteral("port lost: %1").arg(portError_);
  int lost = 0;
  for (const auto& [address, device] : devices_) lost += device->answering() ? 0 : 1;
  line += QStringLiteral(", %1 device(s), %2 lost").arg(devices_.size()).arg(lost);
  if (const QString journal = health_.statusText(); !journal.isEmpty())
    line += QStringLiteral(", ") + journal;
  if (!accepting()) line += QStringLiteral(", not accepting");
  if ((!mqtt_.isConnected() || brokerStalled_) && !brokerProblem_.isEmpty()) {
    line += QStringLiteral(", broker: ") + brokerProblem_;
  }
  return line;
}

bool Service::mayAccept() const {
  return health_.ok() && state_ != State::Stopping &&
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
  if (!searched_ && framingsToFind(options_)) {
    // The search has the port meanwhile; busy_ holds as for a bring-up.
    busy_ = true;
    return search_.start(options_, [this](const auto& found, const QString& error) {
      busy_ = false;
      if (state_ == State::Stopping) return finishShutdown();
      if (!error.isEmpty()) return portFailed(error);
      framingsFound(found);
      openPort();
    });
  }
  if (!bus_.open()) return portFailed(bus_.errorString());
  portOpen_ = true;
  portError_.clear();
  backoffMs_ = kFirstBackoffMs;
  publishStatus();
  bringUp();
}

// Nothing on the bus was found when the service came up (devices powered after the computer,
// say): the bus is searched again as at start, until a device answers.
void Service::searchAgain() {
  if (!portOpen_ || busy_ || state_ != State::Running) return;
  portOpen_ = false;
  bus_.close();
  searched_ = false;
  openPort();
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

void Service::framingsFound(const std::vector<quennet::FoundDevice>& found) {
  searched_ = true;
  found_.clear();
  QStringList lines;
  for (const quennet::FoundDevice& device : found) {
    const auto address = static_cast<quint8>(device.address);
    if (device.framing == quennet::DeviceFraming::Unknown) {
      // A device named is tried without an address poll: it is reported as not found below.
      if (options_.devices.isEmpty()) {
        lines.append(
            QStringLiteral("%1 answered the address poll, then in no framing").arg(address));
      }
      if (!modes_.contains(address)) modes_[address] = framingName(device.framing);
      continue;
    }
    found_.append(address);
    // A framing configured stays as configured.
    if (framingConfigured(options_, address)) continue;
    const quennet::DeviceLink link = linkOf(device.framing, searchKey(options_, address));
    bus_.setDeviceLink(address, link);
    modes_[address] = framingWord(link);
    lines.append(QStringLiteral("%1 %2: %3, %4, serial %5")
                     .arg(address)
                     .arg(modes_[address], device.category, device.manufacturer, device.serial));
  }
  for (const std::uint8_t address : options_.devices) {
    if (!framingConfigured(options_, address) && !found_.contains(address)) {
      lines.append(QStringLiteral("%1 not found in any framing").arg(address));
    }
  }
  emit statusChanged(
      QStringLiteral("devices found on %1: %2")
          .arg(options_.port, lines.isEmpty() ? QStringLiteral("none") : lines.join(u"; ")));
}

DevicePtr Service::makeDevice(quint8 address) {
  auto device = std::make_shared<Device>();
  device->address = address;
  if (const auto mode = modes_.find(address); mode != modes_.end()) device->mode = mode->second;
  device->hold.setSingleShot(true);
  connect(&device->hold, &QTimer::timeout, this, [this, address] { book_.holdExpired(address); });
  return device;
}

void Service::runBringUp(const DevicePtr& device, BringUp::Scope scope,
                         const std::function<void(const DevicePtr&)>& done) {
  auto* run = new BringUp(
      device, scope, options_, &calls_, &bus_, &health_, [this] { return mayAccept(); }, done,
      this);
  run->start();
}

// The devices `options` name, or those that answer an address poll; then one after the other:
// identified, then initialised; polling starts once all are.
void Service::bringUp() {
  busy_ = true;
  devices_.clear();
  // Every framing polled already: the devices found are those on the bus.
  if (options_.devices.isEmpty() && searched_) {
    bringUpQueue_ = found_;
    return bringUpNext();
  }
  findAddresses(calls_, options_, [this](const QList<quint8>& addresses) {
    bringUpQueue_ = addresses;
    bringUpNext();
  });
}

void Service::bringUpNext() {
  if (bringUpQueue_.isEmpty() || bus_.state() != BusClient::ConnectedState ||
      state_ == State::Stopping) {
    return bringUpDone();
  }
  runBringUp(makeDevice(bringUpQueue_.takeFirst()), BringUp::Scope::Identify,
             [this](const DevicePtr& device) {
               devices_[device->address] = device;
               bringUpNext();
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
          [this, d](const BusEvent& event) { book_.onEvent(*d, event); });
  connect(poller, &EventPoller::bufferRead, this,
          [this, d](int counter) { book_.onBufferRead(*d, counter); });
  connect(poller, &EventPoller::eventsLost, this,
          [this, d](int count) { book_.onEventsLost(*d, count); });
  connect(poller, &EventPoller::counterReset, this, [this, d] { book_.onReset(*d); });
  connect(poller, &EventPoller::deviceLost, this, [this, d] {
    d->state = DeviceState::Lost;
    publish(QStringLiteral("event"),
            payloads::event(*d, d->poller->lastCounter(), QStringLiteral("fault"),
                            QStringLiteral("Device not answering")));
    publishStatus();
  });
  connect(poller, &EventPoller::deviceBack, this, [this, d] {
    // It may have lost its power meanwhile: its inhibits with it.
    d->state = DeviceState::Initialising;
    publish(QStringLiteral("event"),
            payloads::event(*d, d->poller->lastCounter(), QStringLiteral("status"),
                            QStringLiteral("Device answering again")));
    publishStatus();
    requestInit(d->address);
  });
  book_.primeFrom(*d);
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
  const auto polled = [this](const DevicePtr& ready) {
    if (!ready->identified()) return initNext();
    devices_[ready->address] = ready;
    if (portOpen_) startPolling(ready);
    initNext();
  };
  if (device->identified()) {
    if (device->state == DeviceState::Polling) device->state = DeviceState::Initialising;
    return runBringUp(device, BringUp::Scope::Initialise, polled);
  }
  runBringUp(makeDevice(address), BringUp::Scope::Identify, polled);
}

// ---- the journal and the broker ------------------------------------------------------------

void Service::watch() {
  health_.check();
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

void Service::journalRecovered() {
  Journal& journal = health_.journal();
  // A journal that failed at start: the ledger opens with it, and what a kill left is settled.
  if (!payouts_.isOpen()) {
    openLedger();
    if (portOpen_ && !busy_) payouts_.reconcile();
  }
  for (auto& [address, device] : devices_) {
    if (!device->identified()) continue;
    // What lies after the journal's mark is read again: a credit missed meanwhile is taken now.
    if (const auto stored = journal.mark(device->key())) {
      if (device->replay) {
        device->mark = stored;
        device->poller.reset();
      }
    } else if (device->mark && journal.setMark(device->key(), *device->mark)) {
      device->stored = device->mark;
    }
    device->replay = false;
    device->stored = journal.mark(device->key());
    device->pending = journal.pending(device->key());
    requestInit(address);
  }
  resendOutstanding();
  publishStatus();
}

void Service::openLedger() {
  Journal& journal = health_.journal();
  payouts_.open(options_.journal, journal.id(), [&journal] { return journal.clockMs(); });
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
  if (!mqtt_.isConnected() || !health_.journal().isOpen()) return;
  book_.resend();
  payouts_.resend();
}

// ---- MQTT ----------------------------------------------------------------------------------

void Service::publish(const QString& leaf, const QByteArray& payload, bool retain) {
  mqtt_.publish(options_.prefix + u'/' + leaf, payload, 1, retain);
}

void Service::publishStatus() {
  // While the devices' framings are looked for, the port is neither open nor lost.
  if (state_ == State::Starting && !portOpen_ && portError_.isEmpty()) return;
  payloads::StatusView view{portOpen_, options_.port, portError_, {}, accepting(), health_.text()};
  for (const auto& [address, device] : devices_) {
    view.devices.append({address, device->category, device->manufacturer, device->label,
                         device->mode, device->answering()});
  }
  // Published on change only; the time says when it changed.
  const QByteArray body = payloads::statusBody(view);
  if (body == lastStatus_) return;
  lastStatus_ = body;
  publish(QStringLiteral("status"), payloads::stamped(body), true);
  emit statusChanged(statusLine());
}

}  // namespace quennetd
