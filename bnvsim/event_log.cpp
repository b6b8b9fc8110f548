#include "bnvsim/event_log.h"

#include <algorithm>

#include "bnvsim/device.h"

namespace bnvsim {

void EventLog::add(std::uint8_t a, std::uint8_t b) {
  std::copy_backward(pairs_.begin(), pairs_.end() - 2, pairs_.end());
  pairs_[0] = a;
  pairs_[1] = b;
  counter_ = nextEventCounter(counter_);
}

void EventLog::clear() {
  counter_ = 0;
  pairs_.fill(0);
}

std::vector<std::uint8_t> EventLog::replyBytes() const {
  std::vector<std::uint8_t> bytes(1 + pairs_.size());
  bytes[0] = counter_;
  std::copy(pairs_.begin(), pairs_.end(), bytes.begin() + 1);
  return bytes;
}

}  // namespace bnvsim
