#include "quennet/bus/event_reading.h"

#include <algorithm>
#include <utility>

namespace quennet {

namespace {

constexpr int kCounterWrap = 255;

int counterOf(const QByteArray& buffer) {
  return static_cast<quint8>(buffer[0]);
}

}  // namespace

int EventReader::eventsBetween(int last, int now) {
  if (now == last || now == 0) return 0;
  if (last == 0 || now > last) return now - last;
  return now + kCounterWrap - last;
}

void EventReader::restart() {
  last_.clear();
  doubted_.clear();
  question_.clear();
}

bool EventReader::pairEmpty(const QByteArray& buffer, int age) const {
  return buffer[1 + 2 * age] == 0 && buffer[2 + 2 * age] == 0;
}

std::optional<int> EventReader::countedOn(const QByteArray& now) const {
  const int events = eventsBetween(counterOf(last_), counterOf(now));
  if (events == 0) return std::nullopt;
  const int fresh = std::min(events, pairs_);
  // The pairs read before, each `events` places further back.
  const qsizetype shifted = 2 * (pairs_ - fresh);
  if (now.mid(1 + 2 * fresh, shifted) != last_.mid(1, shifted)) return std::nullopt;
  return events;
}

// The events since a reset may read (0, 0) (notes refused in master inhibit, as a reset device
// is); every slot behind them is empty.
bool EventReader::resetPossible(const QByteArray& now) const {
  for (int age = std::min(counterOf(now), pairs_); age < pairs_; ++age) {
    if (!pairEmpty(now, age)) return false;
  }
  return true;
}

EventReading EventReader::take(const QByteArray& now, EventReading reading) {
  last_ = now;
  doubted_.clear();
  return reading;
}

EventReading EventReader::counted(const QByteArray& now, int events) {
  return take(now,
              {EventReading::Kind::Events, std::min(events, pairs_), std::max(events - pairs_, 0)});
}

// A read that does not fit is not taken, unless it comes again unchanged: then it is what the
// device holds, and the events the counter moved past are lost, not read from pairs that
// disagree with it.
EventReading EventReader::doubt(const QByteArray& now) {
  if (now != doubted_) {
    doubted_ = now;
    return {EventReading::Kind::Inconsistent};
  }
  const int events = eventsBetween(counterOf(last_), counterOf(now));
  return take(now, {EventReading::Kind::Events, 0, events});
}

EventReading EventReader::read(const QByteArray& now) {
  using Kind = EventReading::Kind;
  question_.clear();
  if (now.size() < 1 + 2 * pairs_) return {Kind::Inconsistent};
  if (last_.isEmpty()) return take(now, {Kind::First});
  if (now == last_) {
    doubted_.clear();
    return {Kind::Unchanged};
  }
  if (now == doubted_) return doubt(now);
  const int counter = counterOf(now);
  const int before = counterOf(last_);
  // Only a reset or a power-up sets the counter to 0.
  if (counter == 0) return before != 0 ? take(now, {Kind::Reset}) : doubt(now);
  const std::optional<int> events = countedOn(now);
  // A reset shows in empty pairs behind fewer events than the buffer keeps; with every pair full
  // it is only a reading of a counter that went back or stood.
  const bool back = counter <= before;
  const bool reset = resetPossible(now) && (counter < pairs_ || back);
  // A counter that went on is new events when the pairs agree; one that went back may be a
  // wrap or a reset, and only the device can say which.
  if (events && !(back && reset)) return counted(now, *events);
  if (reset) {
    question_ = now;
    return {Kind::Question};
  }
  return doubt(now);
}

EventReading EventReader::answer(std::optional<bool> everythingInhibited) {
  if (question_.isEmpty()) return {EventReading::Kind::Unchanged};
  const QByteArray now = std::exchange(question_, {});
  if (!everythingInhibited) return doubt(now);
  const int counter = counterOf(now);
  if (*everythingInhibited) {
    return take(
        now, {EventReading::Kind::Reset, std::min(counter, pairs_), std::max(counter - pairs_, 0)});
  }
  if (const std::optional<int> events = countedOn(now)) return counted(now, *events);
  return doubt(now);
}

}  // namespace quennet
