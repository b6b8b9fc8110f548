#pragma once
// The buffered events of a validator or coin acceptor: a counter and the five newest result pairs.

#include <array>
#include <cstdint>
#include <vector>

namespace bnvsim {

class EventLog {
 public:
  void add(std::uint8_t a, std::uint8_t b);
  void clear();
  std::uint8_t counter() const { return counter_; }
  // Counter, then the five pairs newest first: the reply to the buffer read.
  std::vector<std::uint8_t> replyBytes() const;

 private:
  std::uint8_t counter_ = 0;
  std::array<std::uint8_t, 10> pairs_{};
};

}  // namespace bnvsim
