#pragma once
// The validator's fixed note set: sixteen positions with ccTalk-style identities and the
// countries they belong to.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "quennet/link/protocol_events.h"

namespace bnvsim {

inline constexpr int kNotePositions = quennet::kPositionCount;

// "GB0010A" for a used position 1..16, "......." for an unused one.
std::string noteId(int position);
bool noteDefined(int position);
// Bit k of byte 0 is position k + 1, bit k of byte 1 position k + 9; zeros for an unknown country.
std::array<std::uint8_t, 2> countryPositions(std::string_view country);
// How the note values of the table read: value x factor / 10^decimals of the currency. The
// default, factor 100 with two decimals, makes the whole units of the table pence and cents.
struct Scaling {
  int factor = 100;  // 1..65535
  int decimals = 2;  // 0..255
};

// Scaling factor (low byte, high byte) and decimal places; all zero for an unknown country.
std::array<std::uint8_t, 3> countryScaling(std::string_view country, const Scaling& scaling = {});

}  // namespace bnvsim
