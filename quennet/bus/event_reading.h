#pragma once
// Reading a device's buffered events (a counter, then the newest result pairs) one read after
// another. The counter and the pairs must tell the same story: n new events push the pairs kept
// before back by n places. A pair the counter counts as new is an event even when it reads
// (0, 0): a note refused while the device is in master inhibit; (0, 0) pairs behind the counted
// events are empty slots. A read where they disagree is
// not taken as events; where only the device can tell a reset from a counter that wrapped, the
// reading asks for the device's inhibit status: a reset device comes up with everything
// inhibited. The event poller, the tool's event watch and Tolvar's event history read with this.

#include <optional>

#include <QByteArray>

#include "quennet/quennet_export.h"

namespace quennet {

/// What one read of an event buffer means after the reads before it.
struct EventReading {
  /// The read's meaning.
  enum class Kind {
    First,         ///< the first read: where the counter stands
    Unchanged,     ///< the same buffer as the read before
    Events,        ///< `fresh` new events (the newest pairs), `lost` more no longer in the buffer
    Reset,         ///< the device was reset: `fresh` events since then, `lost` more
    Inconsistent,  ///< the counter and the pairs disagree: no events; read again
    Question,      ///< a reset or a counter that wrapped: answer() with the inhibit status
  };
  Kind kind = Kind::First;  ///< what the read is
  int fresh = 0;            ///< new events, the newest pairs of the buffer
  int lost = 0;             ///< events the counter moved past that the buffer no longer holds
};

/// The reads of one device's event buffer, each against the last one taken.
class QUENNET_EXPORT EventReader {
 public:
  /// Pairs a bill or coin buffer keeps.
  static constexpr int kPairs = 5;

  /// A reader of a buffer that keeps `pairs` result pairs.
  explicit EventReader(int pairs = kPairs) : pairs_(pairs) {}

  /// The next read: the counter, then the pairs, newest first.
  EventReading read(const QByteArray& buffer);
  /// Settles a Question with the device's inhibit status: whether every note (or coin) is
  /// inhibited, as after a reset; nothing when the device gave no answer (then the read is not
  /// taken and the next read asks again).
  EventReading answer(std::optional<bool> everythingInhibited);
  /// True from a Question until its answer or the next read.
  bool asking() const { return !question_.isEmpty(); }
  /// The read a Question is about.
  const QByteArray& question() const { return question_; }
  /// The counter of the last read taken; 0 before the first.
  int counter() const { return last_.isEmpty() ? 0 : static_cast<quint8>(last_[0]); }
  /// Forgets every read: the next one is a first read.
  void restart();

  /// Events the counter moved on by from `last` to `now` (1..255, wrapping 255 to 1; 0 when it
  /// stands still or is 0).
  static int eventsBetween(int last, int now);

 private:
  // The events `now` adds to the last read taken when the counter simply counted on (a wrap
  // included); nothing when its pairs say otherwise.
  std::optional<int> countedOn(const QByteArray& now) const;
  // Whether `now` is what a device reset since the last read would show.
  bool resetPossible(const QByteArray& now) const;
  bool pairEmpty(const QByteArray& buffer, int age) const;
  EventReading take(const QByteArray& now, EventReading reading);
  EventReading counted(const QByteArray& now, int events);
  EventReading doubt(const QByteArray& now);

  int pairs_;
  QByteArray last_;      // the last read taken
  QByteArray doubted_;   // the last inconsistent read; taken when it comes twice in a row
  QByteArray question_;  // the read a Question is out for
};

}  // namespace quennet
