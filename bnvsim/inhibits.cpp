#include "bnvsim/inhibits.h"

#include "quennet/link/cctalk_codes.h"

namespace bnvsim {

std::optional<Reply> Inhibits::answer(std::uint8_t header, std::span<const std::uint8_t> data) {
  switch (header) {
    case quennet::GET_MASTER_INHIBIT:
      return Reply::bytes({master_});
    case quennet::SET_MASTER_INHIBIT:
      if (data.size() != 1) return Reply::nak();
      master_ = data[0] & 1U;
      return Reply::ack();
    case quennet::GET_INHIBIT_STATUS:
      return Reply::bytes({mask_[0], mask_[1]});
    case quennet::SET_INHIBIT_STATUS:
      if (data.size() != 2) return Reply::nak();
      mask_ = {data[0], data[1]};
      return Reply::ack();
    default:
      return std::nullopt;
  }
}

bool Inhibits::enabled(int position) const {
  const int bit = position - 1;
  return ((mask_[static_cast<std::size_t>(bit / 8)] >> (bit % 8)) & 1U) != 0;
}

}  // namespace bnvsim
