#pragma once
// Reading numbers the way the bench's boxes and prompts are read: the leading numeric part of a
// text, rounded half to even.

#include <cstdint>
#include <optional>

#include <QString>

namespace tolvar {

// The number at the start of `text` after leading blanks ("40.6abc" gives 40.6), 0 when there
// is none.
double leadingValue(const QString& text);

// Nearest integer, halves to the even neighbour (40.5 gives 40, 41.5 gives 42); values beyond
// any field's range saturate.
std::int64_t roundHalfEven(double value);

// The nearest whole number, a half going to the even neighbour; empty outside [lo, hi] (also
// for values far beyond any integer type, which must not reach a conversion).
std::optional<std::int32_t> roundedInRange(double value, std::int32_t lo, std::int32_t hi);

// The whole text as a number (blanks around it allowed), or nothing when it is not one.
std::optional<double> wholeNumber(const QString& text);

// The whole text as a number (blanks around it allowed, a fraction rounded), or nothing when it
// is not a number or falls outside [low, high].
std::optional<std::int64_t> strictInteger(const QString& text, std::int64_t low, std::int64_t high);

}  // namespace tolvar
