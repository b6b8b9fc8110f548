#include "tolvar/mainwindow/traffic/host_counts.h"

#include <algorithm>

#include "quennet/link/link_engine.h"
#include "quennet/link/protocol.h"

namespace tolvar {

void HostCounts::count(const quennet::FrameRecord& record) {
  if (record.direction != quennet::FrameDirection::Device || record.requestHeader < 0) return;
  switch (record.status) {
    case quennet::FrameStatus::Timeout:
      ++timeouts_;
      return;
    case quennet::FrameStatus::BadChecksum:
      ++badChecksums_;
      return;
    default:
      break;
  }
  if (!record.frame.complete) return;
  ++replies_;
  if (record.result == quennet::kResultBusy) ++busy_;
  if (record.frame.header == quennet::kHeaderNak) ++naks_;
  if (record.durationUs >= 0) {
    lastLatencyUs_ = record.durationUs;
    mostLatencyUs_ = std::max(mostLatencyUs_, record.durationUs);
  }
}

namespace {

QString milliseconds(std::int64_t us) {
  return QString::number(static_cast<double>(us) / 1000, 'f', 1) + QStringLiteral(" ms");
}

}  // namespace

QString HostCounts::text() const {
  QString line = QStringLiteral("Host: %1 t/o, %2 NAK, %3 BUSY, %4 chk")
                     .arg(timeouts_)
                     .arg(naks_)
                     .arg(busy_)
                     .arg(badChecksums_);
  if (lastLatencyUs_ >= 0) line += QStringLiteral(", ") + milliseconds(lastLatencyUs_);
  return line;
}

QString HostCounts::description() const {
  QString words =
      QStringLiteral("Counted by this host: %1 time-outs, %2 NAK, %3 BUSY, %4 bad checksums")
          .arg(timeouts_)
          .arg(naks_)
          .arg(busy_)
          .arg(badChecksums_);
  if (lastLatencyUs_ >= 0) {
    words += QStringLiteral("; last reply %1, most %2")
                 .arg(milliseconds(lastLatencyUs_), milliseconds(mostLatencyUs_));
  }
  return words;
}

}  // namespace tolvar
