#include "quennet/bus/bus_reply.h"

namespace quennet {

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
