#pragma once
// Whole numbers from what the user typed, refused when they fall outside the field's range.

#include <cstdint>
#include <optional>

namespace tolvar {

// The nearest whole number, a half going to the even neighbour; empty outside [lo, hi] (also
// for values far beyond any integer type, which must not reach a conversion).
std::optional<std::int32_t> roundedInRange(double value, std::int32_t lo, std::int32_t hi);

}  // namespace tolvar
