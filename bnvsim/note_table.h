#pragma once
// The validator's fixed note set: sixteen positions with ccTalk-style identities and the
// countries they belong to.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace bnvsim {

inline constexpr int kNotePositions = 16;

// "GB0010A" for a used position 1..16, "......." for an unused one.
std::string noteId(int position);
bool noteDefined(int position);
// Bit k of byte 0 is position k + 1, bit k of byte 1 position k + 9; zeros for an unknown country.
std::array<std::uint8_t, 2> countryPositions(std::string_view country);
// Scaling factor (low byte, high byte) and decimal places; all zero for an unknown country.
std::array<std::uint8_t, 3> countryScaling(std::string_view country);

}  // namespace bnvsim
