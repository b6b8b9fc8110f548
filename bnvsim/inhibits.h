#pragma once
// The master inhibit and the 16-position inhibit register that every acceptor on the bus keeps.
// Both power up closed, as real units do.

#include <array>
#include <cstdint>
#include <optional>
#include <span>

#include "bnvsim/device.h"

namespace bnvsim {

class Inhibits {
 public:
  // Answers the four inhibit commands (read and set master inhibit, read and set the register);
  // nothing for any other header.
  std::optional<Reply> answer(std::uint8_t header, std::span<const std::uint8_t> data);

  bool masterOpen() const { return (master_ & 1U) != 0; }
  // Position 1..16 has its bit set in the register.
  bool enabled(int position) const;
  std::array<std::uint8_t, 2> mask() const { return mask_; }
  std::uint8_t master() const { return master_; }

 private:
  std::array<std::uint8_t, 2> mask_{};
  std::uint8_t master_ = 0;
};

}  // namespace bnvsim
