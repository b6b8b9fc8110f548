// The C interface's calls: one command method on the bus, answered into a reply the caller reads.
// A call goes from the caller's thread straight into the bus's queue and is answered from the
// bus's worker thread.

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "quennet/capi/capi_p.h"

struct quennet_reply {
  struct Output {
    std::string name;
    int type = QUENNET_TYPE_TEXT;
    long long integer = 0;
    std::string text;
    std::vector<std::uint8_t> bytes;
  };
  int result = 0;
  bool acknowledged = false;
  std::string status;
  std::string serial;
  std::vector<std::uint8_t> sent;
  std::vector<std::uint8_t> received;
  std::vector<Output> outputs;
};

namespace quennet::capi {
namespace {

std::vector<std::uint8_t> bytesOf(const QByteArray& bytes) {
  return {bytes.begin(), bytes.end()};
}

// One call on its way: filled on the bus's worker thread, read by the caller.
struct CallState {
  std::mutex mutex;
  std::condition_variable done;
  bool finished = false;
  bool portOpen = true;  // whether the port was still open when the call finished
  BusResult result;

  void finish(const BusResult& answer, bool open) {
    {
      const std::lock_guard lock(mutex);
      result = answer;
      portOpen = open;
      finished = true;
    }
    done.notify_all();
  }
};

quennet_reply* makeReply(const MethodInfo& info, const BusResult& result) {
  auto* reply = new quennet_reply;
  reply->result = result.result;
  reply->acknowledged = result.acknowledged;
  reply->status = result.caption.toStdString();
  reply->serial = result.serial.toStdString();
  reply->sent = bytesOf(result.sent);
  reply->received = bytesOf(result.reply);
  for (const quennet::ParamInfo& p : info.outputs()) {
    quennet_reply::Output output;
    output.name = p.name.toStdString();
    output.type = typeCode(p.type);
    const QVariant value = result.outputs.value(p.name);
    switch (p.type) {
      case quennet::ParamType::Byte:
      case quennet::ParamType::Long:
        output.integer = value.toLongLong();
        break;
      case quennet::ParamType::Text:
        output.text = value.toString().toStdString();
        break;
      case quennet::ParamType::ByteArray:
        for (const QVariant& element : value.toList()) {
          output.bytes.push_back(static_cast<std::uint8_t>(element.toInt()));
        }
        break;
    }
    reply->outputs.push_back(std::move(output));
  }
  return reply;
}

}  // namespace
}  // namespace quennet::capi

using namespace quennet::capi;

extern "C" {

int quennet_call(quennet_bus* bus, int address, const char* method, const char* const* arguments,
                 size_t count, quennet_reply** reply) {
  return guarded([&] {
    if (!bus || !reply || (count > 0 && !arguments)) {
      throw Failure{QUENNET_EINVAL, QStringLiteral("no bus, arguments or place for the reply")};
    }
    *reply = nullptr;
    const MethodInfo& info = methodNamed(method);
    checkAddress(address);
    quennet::checkArgumentCount(info, static_cast<qsizetype>(count));
    // Sized before copied: a byte array of a million values is refused at its length.
    const QList<quennet::ParamInfo> params = ::arguments(info);
    QVariantList inputs;
    for (size_t i = 0; i < count; ++i) {
      const char* word = arguments[i] ? arguments[i] : "";
      quennet::checkArgumentSize(params[static_cast<qsizetype>(i)], word);
      inputs.append(text(word));
    }
    checkHere(*bus);
    if (bus->closed) throw closedFailure(*bus, quennet::failureText(quennet::Failure::PortClosed));
    auto state = std::make_shared<CallState>();
    // Queued from this thread and answered from the bus's worker: the caller wakes once, when
    // the answer is in, and the runtime thread takes no part.
    std::uint64_t ticket = 0;
    try {
      ticket = bus->client->call(
          static_cast<quint8>(address), info.name, inputs,
          [state](const BusResult& result, bool open) { state->finish(result, open); });
    } catch (const QuennetError& error) {
      throw Failure{QUENNET_EINVAL, quennet::methodErrorText(info, error.description())};
    }
    std::unique_lock lock(state->mutex);
    const auto finished = [&] { return state->finished; };
    if (bus->callTimeoutMs > 0 &&
        !state->done.wait_for(lock, std::chrono::milliseconds(bus->callTimeoutMs), finished)) {
      // Still waiting its turn: taken back, nothing of it went out. Already on the line: the
      // device may act on it, so its outcome is waited for (the line's own time-out ends it).
      lock.unlock();
      if (bus->client->withdraw(ticket)) {
        throw Failure{QUENNET_ETIMEDOUT,
                      QStringLiteral("%1: still queued after %2 ms; withdrawn, nothing was sent")
                          .arg(info.name)
                          .arg(bus->callTimeoutMs)};
      }
      lock.lock();
    }
    state->done.wait(lock, finished);
    if (state->result.result == quennet::kResultNotEnabled && !state->portOpen) {
      throw closedFailure(*bus, state->result.caption);
    }
    *reply = makeReply(info, state->result);
    return QUENNET_OK;
  });
}

int quennet_reply_result(const quennet_reply* reply) {
  return reply ? reply->result : QUENNET_EINVAL;
}

int quennet_reply_acknowledged(const quennet_reply* reply) {
  return reply && reply->acknowledged ? 1 : 0;
}

const char* quennet_reply_status(const quennet_reply* reply) {
  return reply ? reply->status.c_str() : "";
}

const char* quennet_reply_serial(const quennet_reply* reply) {
  return reply ? reply->serial.c_str() : "";
}

size_t quennet_reply_sent(const quennet_reply* reply, const uint8_t** bytes) {
  if (bytes) *bytes = reply && !reply->sent.empty() ? reply->sent.data() : nullptr;
  return reply ? reply->sent.size() : 0;
}

size_t quennet_reply_received(const quennet_reply* reply, const uint8_t** bytes) {
  if (bytes) *bytes = reply && !reply->received.empty() ? reply->received.data() : nullptr;
  return reply ? reply->received.size() : 0;
}

size_t quennet_reply_output_count(const quennet_reply* reply) {
  return reply ? reply->outputs.size() : 0;
}

namespace {
const quennet_reply::Output* outputAt(const quennet_reply* reply, size_t index) {
  return reply && index < reply->outputs.size() ? &reply->outputs[index] : nullptr;
}
}  // namespace

const char* quennet_reply_output_name(const quennet_reply* reply, size_t index) {
  const auto* output = outputAt(reply, index);
  return output ? output->name.c_str() : nullptr;
}

int quennet_reply_output_type(const quennet_reply* reply, size_t index) {
  const auto* output = outputAt(reply, index);
  return output ? output->type : QUENNET_ERANGE;
}

long long quennet_reply_output_integer(const quennet_reply* reply, size_t index) {
  const auto* output = outputAt(reply, index);
  return output ? output->integer : 0;
}

const char* quennet_reply_output_text(const quennet_reply* reply, size_t index) {
  const auto* output = outputAt(reply, index);
  return output ? output->text.c_str() : nullptr;
}

size_t quennet_reply_output_bytes(const quennet_reply* reply, size_t index, const uint8_t** bytes) {
  const auto* output = outputAt(reply, index);
  if (bytes) *bytes = output && !output->bytes.empty() ? output->bytes.data() : nullptr;
  return output ? output->bytes.size() : 0;
}

void quennet_reply_free(quennet_reply* reply) {
  delete reply;
}

}  // extern "C"
