#include "quennet/bus/bus_client.h"

#include <algorithm>
#include <atomic>
#include <future>
#include <map>
#include <mutex>

#include <QPointer>
#include <QThread>

#include "quennet/bus/bus_queue_p.h"
#include "quennet/bus/bus_worker_p.h"
#include "quennet/link/port_access.h"
#include "quennet/link/quennet_error.h"

namespace quennet {

using bus_detail::BusJob;

namespace {

// A request that ends without reaching the line: the port is closed, failed or going away.
BusResult closedResult(const QString& caption) {
  return BusResult{kResultNotEnabled, caption, {}, {}, {}, {}, false, Failure::PortClosed, {}};
}

}  // namespace

namespace bus_detail {

// What a client keeps: its set-up, its port's state and the replies it still owes.
class ClientState {
 public:
  QString portName;
  std::optional<quint8> detectEchoAt;
  std::int32_t keyCode = 0;
  LinkSettings settings;
  mutable std::mutex settingsMutex;  // guards `settings` for call()
  BusClient::State state = BusClient::UnconnectedState;
  std::atomic<bool> connected{false};  // `state` for call()
  QString errorString;
  int errorNumber = 0;
  std::atomic<std::uint64_t> nextId{1};  // call() takes ids from any thread
  std::uint64_t session = 0;
  std::map<std::uint64_t, QPointer<BusReply>> pending;
  std::shared_ptr<BusQueue> queue = std::make_shared<BusQueue>();
  QThread* thread = nullptr;
  BusWorker* worker = nullptr;
};

}  // namespace bus_detail

BusClient::BusClient(QObject* parent)
    : QObject(parent), d_(std::make_unique<bus_detail::ClientState>()) {
  d_->thread = new QThread(this);
  d_->worker = new bus_detail::BusWorker(d_->queue, this);
  d_->thread->setObjectName(QStringLiteral("quennet bus"));
  d_->worker->moveToThread(d_->thread);
  d_->thread->start();
}

BusClient::~BusClient() {
  // Closed first, so that a slot run by the replies finished below cannot queue anything more.
  d_->state = UnconnectedState;
  d_->connected = false;
  const QString destroyed = QStringLiteral("Bus client destroyed");
  failQueued(destroyed);
  failPending(destroyed);
  QMetaObject::invokeMethod(
      d_->worker, [w = d_->worker] { w->stop(); }, Qt::QueuedConnection);
  d_->worker->wake();
  d_->thread->wait();
  delete d_->worker;
}

QString BusClient::portName() const {
  return d_->portName;
}

void BusClient::setEchoDetection(std::optional<quint8> address) {
  d_->detectEchoAt = address;
}

std::int32_t BusClient::keyCode() const {
  return d_->keyCode;
}

BusClient::State BusClient::state() const {
  return d_->state;
}

QString BusClient::errorString() const {
  return d_->errorString;
}

int BusClient::errorNumber() const {
  return d_->errorNumber;
}

Failure BusClient::error() const {
  return d_->errorNumber != 0 ? Failure::PortClosed : Failure::None;
}

int BusClient::pendingRequests() const {
  return static_cast<int>(d_->pending.size());
}

void BusClient::setPortName(const QString& name) {
  d_->portName = name;
}

void BusClient::setChecksumType(Checksum_Type type) {
  const std::lock_guard lock(d_->settingsMutex);
  d_->settings.checksumType = type;
}

Checksum_Type BusClient::checksumType() const {
  const std::lock_guard lock(d_->settingsMutex);
  return d_->settings.checksumType;
}

void BusClient::setCommsEcho(bool on) {
  const std::lock_guard lock(d_->settingsMutex);
  d_->settings.commsEcho = on;
}

bool BusClient::commsEcho() const {
  const std::lock_guard lock(d_->settingsMutex);
  return d_->settings.commsEcho;
}

void BusClient::setKeyCode(std::int32_t code) {
  if (code < 0) {
    throw QuennetError(kErrInvalidProcedureCall);
  }
  d_->keyCode = code;
  const std::lock_guard lock(d_->settingsMutex);
  d_->settings.keyDigits = keyDigitsFromCode(code);
}

void BusClient::setEncryption(bool on) {
  const std::lock_guard lock(d_->settingsMutex);
  d_->settings.encryption = on;
}

bool BusClient::encryption() const {
  const std::lock_guard lock(d_->settingsMutex);
  return d_->settings.encryption;
}

void BusClient::setHopperCode(std::int32_t code) {
  if (code < 0 || code > CommandSet::kLargestHopperCode) {
    throw QuennetError(kErrOverflow);
  }
  const std::lock_guard lock(d_->settingsMutex);
  d_->settings.hopperCode = code;
}

std::int32_t BusClient::hopperCode() const {
  const std::lock_guard lock(d_->settingsMutex);
  return d_->settings.hopperCode;
}

void BusClient::setRepeatGuardMs(int ms) {
  const std::lock_guard lock(d_->settingsMutex);
  d_->settings.repeatGuardMs = std::max(ms, 0);
}

int BusClient::repeatGuardMs() const {
  const std::lock_guard lock(d_->settingsMutex);
  return d_->settings.repeatGuardMs;
}

void BusClient::setDeviceLink(quint8 address, const DeviceLink& link) {
  if (link.keyCode && (*link.keyCode < 0 || link.checksumType == CHKSM_8BIT)) {
    throw QuennetError(kErrInvalidProcedureCall);
  }
  const std::lock_guard lock(d_->settingsMutex);
  d_->settings.devices[address] = link;
}

void BusClient::clearDeviceLink(quint8 address) {
  const std::lock_guard lock(d_->settingsMutex);
  d_->settings.devices.erase(address);
}

std::optional<DeviceLink> BusClient::deviceLink(quint8 address) const {
  const std::lock_guard lock(d_->settingsMutex);
  const auto found = d_->settings.devices.find(address);
  if (found == d_->settings.devices.end()) return std::nullopt;
  return found->second;
}

void BusClient::setCallGuard(const CallGuardSettings& settings) {
  checkCallGuardSettings(settings);
  const std::lock_guard lock(d_->settingsMutex);
  d_->settings.guard = settings;
}

CallGuardSettings BusClient::callGuard() const {
  const std::lock_guard lock(d_->settingsMutex);
  return d_->settings.guard;
}

bool BusClient::open() {
  if (d_->state == ConnectedState) return true;
  auto done = std::make_shared<std::promise<LineError>>();
  std::future<LineError> opened = done->get_future();
  BusJob job;
  job.urgent = true;
  auto order = std::make_shared<bus_detail::OpenOrder>(bus_detail::OpenOrder{
      d_->portName, ++d_->session, done, currentSettings(), d_->detectEchoAt, {}});
  job.open = order;
  d_->queue->add(std::move(job));
  QMetaObject::invokeMethod(
      d_->worker, [w = d_->worker] { w->pump(); }, Qt::QueuedConnection);
  // Nothing else is queued while closed, so this waits only for one open() of the port.
  const LineError failure = opened.get();
  d_->errorNumber = failure.number;
  d_->errorString = failure.description;
  if (failure.isError()) {
    emit errorOccurred(failure.number);
    return false;
  }
  // Written by the worker before it answered.
  if (order->echoFound) setCommsEcho(*order->echoFound);
  setState(ConnectedState);
  return true;
}

void BusClient::close() {
  if (d_->state == UnconnectedState) return;
  setState(UnconnectedState);
  failQueued(failureText(Failure::PortClosed));
  // The worker takes this inside the wait of a request on the line too, which it ends; woken
  // only once the call is queued, so the wait cannot miss it.
  auto closed = std::make_shared<std::promise<void>>();
  std::future<void> done = closed->get_future();
  QMetaObject::invokeMethod(
      d_->worker,
      [w = d_->worker, session = d_->session, closed] {
        w->closePort(session);
        closed->set_value();
      },
      Qt::QueuedConnection);
  d_->worker->wake();
  done.wait();
}

bus_detail::LinkSettings BusClient::currentSettings() const {
  const std::lock_guard lock(d_->settingsMutex);
  return d_->settings;
}

void BusClient::setState(State state) {
  if (d_->state == state) return;
  d_->state = state;
  d_->connected = state == ConnectedState;
  emit stateChanged(state);
}

BusReply* BusClient::sendRequest(quint8 address, quint8 header, const QByteArray& data,
                                 Priority priority) {
  if (data.size() > kMaxDataLength) {
    throw QuennetError(kErrOverflow,
                       QStringLiteral("A frame holds at most %1 data bytes").arg(kMaxDataLength));
  }
  BusJob job;
  job.address = address;
  job.header = header;
  job.data = data;
  job.urgent = priority == Priority::High;
  return queue(new BusReply(address, header, QString()), std::move(job));
}

BusReply* BusClient::invoke(quint8 address, const QString& method, const QVariantList& inputs,
                            Priority priority) {
  const MethodInfo* info = findMethod(method);
  if (!info) throw MisuseError(QStringLiteral("unknown method %1").arg(method));
  dryRun(*info, address, inputs);

  BusJob job;
  job.address = address;
  job.method = info;
  job.inputs = inputs;
  job.urgent = priority == Priority::High;
  return queue(new BusReply(address, 0, info->name), std::move(job));
}

std::uint64_t BusClient::call(quint8 address, const QString& method, const QVariantList& inputs,
                              Completion done) {
  const MethodInfo* info = findMethod(method);
  if (!info) throw MisuseError(QStringLiteral("unknown method %1").arg(method));
  dryRun(*info, address, inputs);
  // A close() racing this one either finds the job in the queue and cancels it, or the worker
  // runs it on the closed port, which ends it with 5 at once: `done` runs either way.
  if (!d_->connected) {
    done(closedResult(failureText(Failure::PortClosed)), false);
    return 0;
  }
  BusJob job;
  job.id = d_->nextId++;
  const std::uint64_t ticket = job.id;
  job.address = address;
  job.method = info;
  job.inputs = inputs;
  job.settings = currentSettings();
  job.done = std::move(done);
  d_->queue->add(std::move(job));
  QMetaObject::invokeMethod(
      d_->worker, [w = d_->worker] { w->pump(); }, Qt::QueuedConnection);
  return ticket;
}

bool BusClient::withdraw(std::uint64_t ticket) {
  return ticket != 0 && d_->queue->withdraw(ticket);
}

void BusClient::dryRun(const MethodInfo& info, quint8 address, const QVariantList& inputs) const {
  // A command set without a line raises every misuse in the caller's thread and sends nothing:
  // each method checks its inputs before it looks at the port.
  CommandSet dryRun;
  dryRun.setHopperCode(hopperCode());
  QVariantList all = inputs;
  if (info.hasDevice()) all.prepend(static_cast<int>(address));
  info.invoker(dryRun, all);
}

BusReply* BusClient::queue(BusReply* reply, BusJob job) {
  if (d_->state != ConnectedState) return finishedAtOnce(reply, failureText(Failure::PortClosed));
  job.id = d_->nextId++;
  job.settings = currentSettings();
  d_->pending.emplace(job.id, reply);
  d_->queue->add(std::move(job));
  QMetaObject::invokeMethod(
      d_->worker, [w = d_->worker] { w->pump(); }, Qt::QueuedConnection);
  return reply;
}

BusReply* BusClient::finishedAtOnce(BusReply* reply, const QString& caption) {
  reply->result_ = closedResult(caption);
  reply->finished_ = true;
  QMetaObject::invokeMethod(reply, &BusReply::finished, Qt::QueuedConnection);
  return reply;
}

void BusClient::failQueued(const QString& caption) {
  for (bus_detail::BusJob& job : d_->queue->cancelRequests()) {
    if (job.done) {
      job.done(closedResult(caption), false);
    } else {
      deliver(job.id, closedResult(caption));
    }
  }
}

void BusClient::failPending(const QString& caption) {
  auto pending = std::move(d_->pending);
  d_->pending.clear();
  for (auto& [id, reply] : pending) {
    if (reply) reply->finish(closedResult(caption));
  }
}

void BusClient::deliver(std::uint64_t id, const BusResult& result) {
  const auto found = d_->pending.find(id);
  if (found == d_->pending.end()) return;
  const QPointer<BusReply> reply = found->second;
  d_->pending.erase(found);
  if (reply) reply->finish(result);
}

void BusClient::lineFailed(std::uint64_t session, const LineError& error) {
  // A failure of an earlier session, or the wait a deliberate close() woke, is old news.
  if (session != d_->session || d_->state == UnconnectedState) return;
  d_->errorNumber = error.number;
  d_->errorString = error.description;
  setState(UnconnectedState);
  failQueued(commsErrorText(error.description));
  emit errorOccurred(error.number);
}

}  // namespace quennet
