#include "quennet/link/quiet_line.h"

#include "quennet/link/link_engine.h"
#include "quennet/link/serial_line.h"

namespace quennet {

bool waitForBytes(SerialLine& line, int count, const QDeadlineTimer& deadline) {
  while (line.isOpen() && !line.lastError().isError() && line.bytesAvailable() < count &&
         !deadline.hasExpired() && !line.silentUntilWrite()) {
    line.waitForBytes(count, deadline);
  }
  return line.isOpen() && !line.lastError().isError();
}

QuietLineWaiter::Outcome QuietLineWaiter::settle(SerialLine& line, QByteArray& dropped,
                                                 LinkStatistics& statistics) {
  // The span is the last transaction's time-out after a failure or BUSY, as the device's own
  // reply may still come; one inter-byte gap on a port just opened or after a reply with bytes
  // behind it; after a good reply nothing, or the repeat guard where one is set. A byte heard
  // meanwhile is dropped and starts the span again.
  if (settle_) {
    settle_ = false;
    quietSpanMs_ = kQuietGapMs;
    lastHeard_.start();
  }
  if (!lastHeard_.isValid()) return Outcome::Quiet;
  const QDeadlineTimer limit(quietSpanMs_ + kQuietLimitMs, Qt::PreciseTimer);
  for (;;) {
    dropInput(line, dropped, statistics);
    const qint64 left = quietSpanMs_ - lastHeard_.elapsed();
    if (left <= 0 || line.silentUntilWrite()) return Outcome::Quiet;
    if (limit.hasExpired()) return Outcome::NotQuiet;
    if (!waitForBytes(line, 1, QDeadlineTimer(left, Qt::PreciseTimer))) return Outcome::LineFailed;
  }
}

void QuietLineWaiter::dropInput(SerialLine& line, QByteArray& dropped, LinkStatistics& statistics) {
  if (const int waiting = line.bytesAvailable(); waiting > 0) {
    const QByteArray bytes = line.read(waiting);
    dropped += bytes;
    statistics.ignoredBytes += static_cast<int>(bytes.size());
    lastHeard_.start();
  }
  line.discard();
}

void QuietLineWaiter::drainAfterTimeout(SerialLine& line, LinkStatistics& statistics) {
  const QDeadlineTimer limit(kQuietLimitMs, Qt::PreciseTimer);
  for (;;) {
    statistics.ignoredBytes += line.bytesAvailable();
    line.discard();
    if (!waitForBytes(line, 1, QDeadlineTimer(kQuietGapMs, Qt::PreciseTimer))) return;
    // Quiet for one gap, or a babbling line left for the next command's own wait.
    if (line.bytesAvailable() == 0 || limit.hasExpired()) return;
  }
}

}  // namespace quennet
