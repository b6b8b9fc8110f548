#include "tolvar/dialogs/rounded_range.h"

#include <cmath>

namespace tolvar {

std::optional<std::int32_t> roundedInRange(double value, std::int32_t lo, std::int32_t hi) {
  // nearbyint rounds in the default mode, to nearest with ties to even.
  const double rounded = std::nearbyint(value);
  if (!(rounded >= lo && rounded <= hi)) return std::nullopt;
  return static_cast<std::int32_t>(rounded);
}

}  // namespace tolvar
