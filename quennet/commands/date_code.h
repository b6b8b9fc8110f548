#pragma once
// The ccTalk creation-date word as text.

#include <cstdint>

#include <QString>

#include "quennet/quennet_export.h"

namespace quennet {

/// "dd/mm/yy" from the two reply bytes of a date code: day in bits 0-4, month in bits 5-8, years
/// after the device's base year in bits 9-13 (bits 14 and 15 are not part of the date).
QUENNET_EXPORT QString FormatDateCode(std::uint8_t lo, std::uint8_t hi);

}  // namespace quennet
