#include "quennet/bus/bus_client.h"

#include <algorithm>

#include <QThread>

#include "quennet/bus/bus_queue_p.h"
#include "quennet/bus/bus_worker_p.h"
#include "quennet/link/quennet_error.h"

namespace quennet {

using bus_detail::BusJob;

namespace {

constexpr std::int32_t kLargestHopperCode = 0xFFFFFF;

// A request that ends without reaching the line: the port is closed, failed or going away.
BusResult closedResult(const QString& caption) {
  return BusResult{kResultNotEnabled,          caption, {}, {}, {}, {}, false,
                   BusResult::ConnectionError, {}};
}

}  // namespace

BusClient::BusClient(QObject* parent)
    : QObject(parent),
      settings_(std::make_unique<bus_detail::LinkSettings>()),
      queue_(std::make_shared<bus_detail::BusQueue>()),
      thread_(new QThread(this)),
      worker_(new bus_detail::BusWorker(queue_, this)) {
  thread_->setObjectName(QStringLiteral("quennet bus"));
  worker_->moveToThread(thread_);
  thread_->start();
}

BusClient::~BusClient() {
  // Closed first, so that a slot run by the replies finished below cannot queue anything more.
  state_ = UnconnectedState;
  connected_ = false;
  failQueued(QStringLiteral("Bus client destroyed"));
  failPending(QStringLiteral("Bus client destroyed"));
  QMetaObject::invokeMethod(
      worker_, [w = worker_] { w->stop(); }, Qt::QueuedConnection);
  thread_->wait();
  delete worker_;
}

void BusClient::setPortName(const QString& name) {
  portName_ = name;
}

void BusClient::setChecksumType(Checksum_Type type) {
  const std::lock_guard lock(settingsMutex_);
  settings_->checksumType = type;
}

Checksum_Type BusClient::checksumType() const {
  const std::lock_guard lock(settingsMutex_);
  return settings_->checksumType;
}

void BusClient::setCommsEcho(bool on) {
  const std::lock_guard lock(settingsMutex_);
  settings_->commsEcho = on;
}

bool BusClient::commsEcho() const {
  const std::lock_guard lock(settingsMutex_);
  return settings_->commsEcho;
}

void BusClient::setKeyCode(std::int32_t code) {
  if (code < 0) {
    throw QuennetError(kErrInvalidProcedureCall);
  }
  keyCode_ = code;
  const std::lock_guard lock(settingsMutex_);
  settings_->keyDigits = keyDigitsFromCode(code);
}

void BusClient::setEncryption(bool on) {
  const std::lock_guard lock(settingsMutex_);
  settings_->encryption = on;
}

bool BusClient::encryption() const {
  const std::lock_guard lock(settingsMutex_);
  return settings_->encryption;
}

void BusClient::setHopperCode(std::int32_t code) {
  if (code < 0 || code > kLargestHopperCode) {
    throw QuennetError(kErrOverflow);
  }
  const std::lock_guard lock(settingsMutex_);
  settings_->hopperCode = code;
}

std::int32_t BusClient::hopperCode() const {
  const std::lock_guard lock(settingsMutex_);
  return settings_->hopperCode;
}

void BusClient::setRepeatGuardMs(int ms) {
  const std::lock_guard lock(settingsMutex_);
  settings_->repeatGuardMs = std::max(ms, 0);
}

int BusClient::repeatGuardMs() const {
  const std::lock_guard lock(settingsMutex_);
  return settings_->repeatGuardMs;
}

void BusClient::setDeviceLink(quint8 address, const DeviceLink& link) {
  if (link.keyCode && (*link.keyCode < 0 || link.checksumType == CHKSM_8BIT)) {
    throw QuennetError(kErrInvalidProcedureCall);
  }
  const std::lock_guard lock(settingsMutex_);
  settings_->devices[address] = link;
}

void BusClient::clearDeviceLink(quint8 address) {
  const std::lock_guard lock(settingsMutex_);
  settings_->devices.erase(address);
}

std::optional<DeviceLink> BusClient::deviceLink(quint8 address) const {
  const std::lock_guard lock(settingsMutex_);
  const auto found = settings_->devices.find(address);
  if (found == settings_->devices.end()) return std::nullopt;
  return found->second;
}

void BusClient::setCallGuard(const CallGuardSettings& settings) {
  checkCallGuardSettings(settings);
  const std::lock_guard lock(settingsMutex_);
  settings_->guard = settings;
}

CallGuardSettings BusClient::callGuard() const {
  const std::lock_guard lock(settingsMutex_);
  return settings_->guard;
}

bool BusClient::open() {
  if (state_ == ConnectedState) return true;
  auto done = std::make_shared<std::promise<LineError>>();
  std::future<LineError> opened = done->get_future();
  BusJob job;
  job.urgent = true;
  auto order = std::make_shared<bus_detail::OpenOrder>(
      bus_detail::OpenOrder{portName_, ++session_, done, currentSettings(), detectEchoAt_, {}});
  job.open = order;
  queue_->add(std::move(job));
  QMetaObject::invokeMethod(
      worker_, [w = worker_] { w->pump(); }, Qt::QueuedConnection);
  // Nothing else is queued while closed, so this waits only for one open() of the port.
  const LineError failure = opened.get();
  errorNumber_ = failure.number;
  errorString_ = failure.description;
  if (failure.isError()) {
    emit errorOccurred(failure.description);
    return false;
  }
  // Written by the worker before it answered.
  if (order->echoFound) setCommsEcho(*order->echoFound);
  setState(ConnectedState);
  return true;
}

void BusClient::close() {
  if (state_ == UnconnectedState) return;
  setState(UnconnectedState);
  failQueued(QStringLiteral("Port closed"));
  // The worker takes this inside the wait of a request on the line too, which it ends.
  QMetaObject::invokeMethod(
      worker_, [w = worker_, session = session_] { w->closePort(session); },
      Qt::BlockingQueuedConnection);
}

bus_detail::LinkSettings BusClient::currentSettings() const {
  const std::lock_guard lock(settingsMutex_);
  return *settings_;
}

void BusClient::setState(State state) {
  if (state_ == state) return;
  state_ = state;
  connected_ = state == ConnectedState;
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
  if (!info) throw DispatchError(QStringLiteral("unknown method %1").arg(method));
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
  if (!info) throw DispatchError(QStringLiteral("unknown method %1").arg(method));
  dryRun(*info, address, inputs);
  // A close() racing this one either finds the job in the queue and cancels it, or the worker
  // runs it on the closed port, which ends it with 5 at once: `done` runs either way.
  if (!connected_) {
    done(closedResult(QStringLiteral("Port closed")), false);
    return 0;
  }
  BusJob job;
  job.id = nextId_++;
  const std::uint64_t ticket = job.id;
  job.address = address;
  job.method = info;
  job.inputs = inputs;
  job.settings = currentSettings();
  job.done = std::move(done);
  queue_->add(std::move(job));
  QMetaObject::invokeMethod(
      worker_, [w = worker_] { w->pump(); }, Qt::QueuedConnection);
  return ticket;
}

bool BusClient::withdraw(std::uint64_t ticket) {
  return ticket != 0 && queue_->withdraw(ticket);
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
  if (state_ != ConnectedState) return finishedAtOnce(reply, QStringLiteral("Port closed"));
  job.id = nextId_++;
  job.settings = currentSettings();
  pending_.emplace(job.id, reply);
  queue_->add(std::move(job));
  QMetaObject::invokeMethod(
      worker_, [w = worker_] { w->pump(); }, Qt::QueuedConnection);
  return reply;
}

BusReply* BusClient::finishedAtOnce(BusReply* reply, const QString& caption) {
  reply->result_ = closedResult(caption);
  reply->finished_ = true;
  QMetaObject::invokeMethod(reply, &BusReply::finished, Qt::QueuedConnection);
  return reply;
}

void BusClient::failQueued(const QString& caption) {
  for (bus_detail::BusJob& job : queue_->cancelRequests()) {
    if (job.done) {
      job.done(closedResult(caption), false);
    } else {
      deliver(job.id, closedResult(caption));
    }
  }
}

void BusClient::failPending(const QString& caption) {
  auto pending = std::move(pending_);
  pending_.clear();
  for (auto& [id, reply] : pending) {
    if (reply) reply->finish(closedResult(caption));
  }
}

void BusClient::deliver(std::uint64_t id, const BusResult& result) {
  const auto found = pending_.find(id);
  if (found == pending_.end()) return;
  const QPointer<BusReply> reply = found->second;
  pending_.erase(found);
  if (reply) reply->finish(result);
}

void BusClient::lineFailed(std::uint64_t session, const LineError& error) {
  // A failure of an earlier session, or the wait a deliberate close() woke, is old news.
  if (session != session_ || state_ == UnconnectedState) return;
  errorNumber_ = error.number;
  errorString_ = error.description;
  setState(UnconnectedState);
  failQueued(QStringLiteral("Comms Error: ") + error.description);
  emit errorOccurred(QStringLiteral("Comms Error: ") + error.description);
}

}  // namespace quennet
