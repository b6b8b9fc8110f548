#include "quennet/bus/bus_worker_p.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <array>
#include <cstdint>

#include <QCoreApplication>
#include <QThread>

#include "quennet/bus/bus_client.h"
#include "quennet/commands/reply_renderings.h"
#include "quennet/link/frame_decode.h"
#include "quennet/link/qt_serial_line.h"
#include "quennet/link/quennet_error.h"

namespace quennet::bus_detail {

namespace {

const QString kPortSettings = QStringLiteral("9600,n,8,1");

QByteArray bytesOf(std::span<const std::uint8_t> bytes) {
  return QByteArray(reinterpret_cast<const char*>(bytes.data()),
                    static_cast<qsizetype>(bytes.size()));
}

}  // namespace

BusWorker::BusWorker(std::shared_ptr<BusQueue> queue, BusClient* client)
    : queue_(std::move(queue)), client_(client) {
  wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  set_.setLineFailureSink([this](const LineError& error) {
    lineFailed_ = true;
    QMetaObject::invokeMethod(
        client_,
        [client = client_, session = session_, error] { client->lineFailed(session, error); },
        Qt::QueuedConnection);
  });
}

BusWorker::~BusWorker() {
  if (wakeFd_ >= 0) ::close(wakeFd_);
}

void BusWorker::wake() const {
  const std::uint64_t one = 1;
  if (wakeFd_ >= 0 && ::write(wakeFd_, &one, sizeof one) < 0) {
    // Full (never in practice: it is read empty at each wake-up) is as good as written.
  }
}

void BusWorker::pump() {
  if (running_) return;
  running_ = true;
  while (!stopping_) {
    std::optional<BusJob> job = queue_->take();
    if (!job) break;
    run(*job);
  }
  running_ = false;
  if (stopping_) finishStop();
}

void BusWorker::closePort(std::uint64_t session) {
  if (session == session_ && set_.line()) set_.line()->close();
}

void BusWorker::stop() {
  stopping_ = true;
  if (set_.line()) set_.line()->close();
  if (!running_) finishStop();
}

void BusWorker::finishStop() {
  set_.setLine(nullptr);
  QThread::currentThread()->quit();
}

void BusWorker::run(BusJob& job) {
  if (job.open) return open(*job.open);
  BusResult result;
  try {
    result = job.method ? invoke(job) : request(job);
  } catch (const MisuseError& error) {
    // The client checks every input before it queues; what is left is the method's own fault.
    result.result = kResultNotEnabled;
    result.caption = error.message();
    result.error = Failure::Misuse;
  }
  if (job.done) {
    // Answered from here: a caller on another thread wakes once, with no hop through the client.
    const bool open = set_.line() && set_.line()->isOpen() && !lineFailed_;
    job.done(result, open);
    return;
  }
  QMetaObject::invokeMethod(
      client_, [client = client_, id = job.id, result] { client->deliver(id, result); },
      Qt::QueuedConnection);
}

void BusWorker::open(OpenOrder& order) {
  session_ = order.session;
  lineFailed_ = false;
  set_.setLine(nullptr);
  auto line = std::make_unique<QtSerialLine>();
  // The line's waits sleep on the port; a close() from the client's thread wakes them through
  // wake() and is run there, so the wait ends with the port closed.
  line->setWakeUp(wakeFd_, [this] { QCoreApplication::sendPostedEvents(this, QEvent::MetaCall); });
  line->setDeviceName(order.portName);
  line->setSettings(kPortSettings);
  if (!line->open()) {
    order.done->set_value(line->lastError());
    return;
  }
  set_.setLine(std::move(line));
  guard_.forgetResets();
  if (order.detectEchoAt && set_.line()->isOpen()) {
    applySettings(order.settings);
    order.echoFound = set_.detectEcho(*order.detectEchoAt);
  }
  order.done->set_value(LineError{});
}

void BusWorker::applySettings(const LinkSettings& settings, std::optional<std::uint8_t> address) {
  set_.setChecksumType(settings.checksumType);
  set_.setCommsEcho(settings.commsEcho);
  set_.setEncryption(settings.encryption);
  set_.setKeyDigits(settings.keyDigits);
  const auto own = address ? settings.devices.find(*address) : settings.devices.end();
  if (own != settings.devices.end()) {
    set_.setChecksumType(own->second.checksumType);
    set_.setEncryption(own->second.keyCode.has_value());
    if (own->second.keyCode) set_.setKeyDigits(keyDigitsFromCode(*own->second.keyCode));
  }
  set_.setHopperCode(settings.hopperCode);
  set_.setRepeatGuardMs(settings.repeatGuardMs);
  guard_.setSettings(settings.guard);
  set_.forgetLastTransaction();
}

void BusWorker::addFrames(BusResult& result, bool deviceCommand) const {
  const TransactionOutcome& outcome = set_.lastTransaction();
  const CallReport report = reportCall(set_, result.result, deviceCommand);
  if (outcome.frameSent) {
    result.sent = set_.sentOnLine();
  }
  if (outcome.ran) {
    result.reply = set_.replyOnLine();
    if (result.result == kResultOk)
      result.serial = serialLabelOf(set_.sentInClear(), set_.replyInClear());
  }
  result.caption = report.status;
  result.acknowledged = report.acknowledged;
  result.error = report.failure;
}

BusResult BusWorker::request(const BusJob& job) {
  applySettings(job.settings, job.address);
  std::array<std::uint8_t, FrameBuffer::kSize> replyData{};
  BusResult result;
  result.result = guard_.run(set_, job.address, [&] {
    set_.LoadFrame(job.address, job.header, byteSpan(job.data));
    return set_.TransactRequest(replyData);
  });
  if (result.result == kResultOk) {
    const auto count = static_cast<std::size_t>(set_.deliveredDataCount());
    result.data = bytesOf(std::span(replyData).first(count));
  }
  addFrames(result, true);
  return result;
}

BusResult BusWorker::invoke(const BusJob& job) {
  applySettings(job.settings,
                job.method->hasDevice() ? std::optional<std::uint8_t>(job.address) : std::nullopt);
  QVariantList inputs = job.inputs;
  if (job.method->hasDevice()) inputs.prepend(static_cast<int>(job.address));
  InvokeResult invoked;
  const std::optional<std::uint8_t> device =
      job.method->hasDevice() ? std::optional<std::uint8_t>(job.address) : std::nullopt;
  guard_.run(set_, device, [&] {
    invoked = job.method->invoker(set_, inputs);
    return invoked.result;
  });
  BusResult result;
  result.result = invoked.result;
  result.outputs = invoked.outputs;
  if (job.method->name == u"CycleStacker") {
    const QString response = QStringLiteral("Response");
    result.outputs[response] = stackerCycleText(result.outputs.value(response).toString());
  }
  addFrames(result, job.method->asksDevice);
  return result;
}

}  // namespace quennet::bus_detail
