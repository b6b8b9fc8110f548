#pragma once
// The wait before a frame goes out: ccTalk frames carry no sequence number, so whatever arrives
// once a frame is out reads as its answer. A frame goes out only when the line has been quiet for
// the span the last transaction left.

#include <QByteArray>
#include <QDeadlineTimer>
#include <QElapsedTimer>

#include "quennet/link/protocol.h"

namespace quennet {

class SerialLine;
struct LinkStatistics;

/// The longest gap between the bytes of one frame; a line quiet this long carries no frame.
inline constexpr int kQuietGapMs = kInterByteGapMs;
/// A line that never falls quiet fails the command after this long (a 256-byte frame takes
/// 267 ms at 9600 baud, so no stale reply lasts this long).
inline constexpr int kQuietLimitMs = 1000;

/// Waits on `line` until `count` bytes are waiting or the deadline passes; false on a line
/// failure.
bool waitForBytes(SerialLine& line, int count, const QDeadlineTimer& deadline);

/// Keeps when the line was last heard and how long it must stay quiet before the next frame.
class QuietLineWaiter {
 public:
  enum class Outcome { Quiet, NotQuiet, LineFailed };

  /// The next wait starts with one inter-byte gap: a port just opened, or a transaction failed.
  void requestSettle() { settle_ = true; }
  /// A transaction ended now: the next frame waits `spanMs` of quiet.
  void heardNow(int spanMs) {
    lastHeard_.start();
    quietSpanMs_ = spanMs;
  }
  /// Drops what arrives (into `dropped`, counted as ignored) until the line has been quiet for
  /// the span; NotQuiet when it never falls quiet within kQuietLimitMs more.
  Outcome settle(SerialLine& line, QByteArray& dropped, LinkStatistics& statistics);
  /// Drops every byte waiting, counting it and keeping it in `dropped` for the trace.
  void dropInput(SerialLine& line, QByteArray& dropped, LinkStatistics& statistics);
  /// After a time-out: drops the rest of a reply that is still arriving, so that a program that
  /// ends now leaves nothing on the line for the next one.
  static void drainAfterTimeout(SerialLine& line, LinkStatistics& statistics);

 private:
  bool settle_ = true;
  int quietSpanMs_ = 0;
  QElapsedTimer lastHeard_;
};

}  // namespace quennet
