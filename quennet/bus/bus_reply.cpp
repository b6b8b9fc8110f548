#include "quennet/bus/bus_reply.h"

#include "quennet/commands/dispatch.h"

namespace quennet {

BusResult::Error BusResult::errorOf(int result, bool acknowledged) {
  switch (result) {
    case kResultOk:
      return acknowledged ? NoError : ProtocolError;
    case kResultBusy:
      return BusyError;
    case kResultTimeout:
      return TimeoutError;
    case kResultChecksum:
      return ReplyError;
    case kResultNotEnabled:
      return ConnectionError;
    default:
      return refusesInput(result) ? ArgumentError : UnknownError;
  }
}

BusReply::BusReply(quint8 address, quint8 header, const QString& method)
    : address_(address), header_(header), method_(method) {}

BusReply::~BusReply() = default;

void BusReply::finish(const BusResult& result) {
  if (finished_) return;
  result_ = result;
  finished_ = true;
  emit finished();
}

}  // namespace quennet
