#pragma once
// The six-digit key code: digit pairs packed low nibble first, and the control's 32-bit form.

#include <array>
#include <cstdint>

#include <QString>

namespace tolvar {

using KeyBytes = std::array<std::uint8_t, 3>;

// Pads `key` on the left with "0" to six characters or cuts it to its first six (in place), then
// packs digits d1..d6 into bytes d2d1, d4d3, d6d5. False at the first pair holding a non-digit;
// the bytes before that pair are set.
bool packKeyCode(QString& key, KeyBytes& keyBytes);

// The control's KeyCode: digit k of the key becomes nibble k-1 from the least significant.
std::int32_t keyCodeValue(const KeyBytes& keyBytes);

}  // namespace tolvar
