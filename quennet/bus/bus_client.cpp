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
  queue_->cancelRequests();
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
  settings_->checksumType = type;
}

Checksum_Type BusClient::checksumType() const {
  return settings_->checksumType;
}

void BusClient::setCommsEcho(bool on) {
  settings_->commsEcho = on;
}

bool BusClient::commsEcho() const {
  return settings_->commsEcho;
}

void BusClient::setKeyCode(std::int32_t code) {
  if (code < 0) {
    throw QuennetError(kErrInvalidProcedureCall);
  }
  keyCode_ = code;
  settings_->keyDigits = keyDigitsFromCode(code);
}

void BusClient::setEncryption(bool on) {
  settings_->encryption = on;
}

bool BusClient::encryption() const {
  return settings_->encryption;
}

void BusClient::setHopperCode(std::int32_t code) {
  if (code < 0 || code > kLargestHopperCode) {
    throw QuennetError(kErrOverflow);
  }
  settings_->hopperCode = code;
}

std::int32_t BusClient::hopperCode() const {
  return settings_->hopperCode;
}

void BusClient::setRepeatGuardMs(int ms) {
  settings_->repeatGuardMs = std::max(ms, 0);
}

int BusClient::repeatGuardMs() const {
  return settings_->repeatGuardMs;
}

bool BusClient::open() {
  if (state_ == ConnectedState) return true;
  auto done = std::make_shared<std::promise<LineError>>();
  std::future<LineError> opened = done->get_future();
  BusJob job;
  job.urgent = true;
  auto order = std::make_shared<bus_detail::OpenOrder>(
      bus_detail::OpenOrder{portName_, ++session_, done, *settings_, detectEchoAt_, {}});
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
  if (order->echoFound) settings_->commsEcho = *order->echoFound;
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

void BusClient::setState(State state) {
  if (state_ == state) return;
  state_ = state;
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
  // A dry run on a command set without a line raises every misuse here, in the caller's thread,
  // and sends nothing: each method checks its inputs before it looks at the port.
  CommandSet dryRun;
  dryRun.setHopperCode(settings_->hopperCode);
  QVariantList all = inputs;
  if (info->hasDevice()) all.prepend(static_cast<int>(address));
  info->invoker(dryRun, all);

  BusJob job;
  job.address = address;
  job.method = info;
  job.inputs = inputs;
  job.urgent = priority == Priority::High;
  return queue(new BusReply(address, 0, info->name), std::move(job));
}

BusReply* BusClient::queue(BusReply* reply, BusJob job) {
  if (state_ != ConnectedState) return finishedAtOnce(reply, QStringLiteral("Port closed"));
  job.id = nextId_++;
  job.settings = *settings_;
  pending_.emplace(job.id, reply);
  queue_->add(std::move(job));
  QMetaObject::invokeMethod(
      worker_, [w = worker_] { w->pump(); }, Qt::QueuedConnection);
  return reply;
}

BusReply* BusClient::finishedAtOnce(BusReply* reply, const QString& caption) {
  reply->result_ =
      BusResult{kResultNotEnabled, caption, {}, {}, {}, {}, false, BusResult::ConnectionError, {}};
  reply->finished_ = true;
  QMetaObject::invokeMethod(reply, &BusReply::finished, Qt::QueuedConnection);
  return reply;
}

void BusClient::failQueued(const QString& caption) {
  for (const std::uint64_t id : queue_->cancelRequests()) {
    deliver(id,
            BusResult{
                kResultNotEnabled, caption, {}, {}, {}, {}, false, BusResult::ConnectionError, {}});
  }
}

void BusClient::failPending(const QString& caption) {
  auto pending = std::move(pending_);
  pending_.clear();
  for (auto& [id, reply] : pending) {
    if (reply)
      reply->finish(BusResult{
          kResultNotEnabled, caption, {}, {}, {}, {}, false, BusResult::ConnectionError, {}});
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
