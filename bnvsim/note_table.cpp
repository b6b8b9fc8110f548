#include "bnvsim/note_table.h"

namespace bnvsim {

namespace {

// Positions 15 and 16 stay free, as on a unit programmed with fewer notes than it can hold.
constexpr std::array<std::string_view, kNotePositions> kNotes = {
    "GB0005A", "GB0010A", "GB0020A", "GB0050A", "EU0005A", "EU0010A", "EU0020A", "EU0050A",
    "EU0100A", "EU0200A", "EU0500A", "US0001A", "US0005A", "US0010A", ".......", "......."};

bool inRange(int position) {
  return position >= 1 && position <= kNotePositions;
}

}  // namespace

bool noteDefined(int position) {
  return inRange(position) && kNotes[static_cast<std::size_t>(position - 1)][0] != '.';
}

std::string noteId(int position) {
  return std::string(inRange(position) ? kNotes[static_cast<std::size_t>(position - 1)]
                                       : ".......");
}

std::array<std::uint8_t, 2> countryPositions(std::string_view country) {
  std::uint16_t mask = 0;
  for (int position = 1; position <= kNotePositions; ++position) {
    if (noteDefined(position) &&
        kNotes[static_cast<std::size_t>(position - 1)].substr(0, 2) == country.substr(0, 2)) {
      mask = static_cast<std::uint16_t>(mask | (1U << (position - 1)));
    }
  }
  return {static_cast<std::uint8_t>(mask), static_cast<std::uint8_t>(mask >> 8)};
}

std::array<std::uint8_t, 3> countryScaling(std::string_view country, const Scaling& scaling) {
  if (countryPositions(country) == std::array<std::uint8_t, 2>{0, 0}) return {0, 0, 0};
  return {static_cast<std::uint8_t>(scaling.factor & 0xFF),
          static_cast<std::uint8_t>(scaling.factor >> 8),
          static_cast<std::uint8_t>(scaling.decimals)};
}

}  // namespace bnvsim
