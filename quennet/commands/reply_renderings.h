#pragma once
// Renderings of reply data that several command methods share.

#include <cstdint>
#include <span>

#include <QString>

#include "quennet/quennet_export.h"

namespace quennet {

/// First byte most significant; decimal padded to at least seven digits ("0066051").
QUENNET_EXPORT QString serialNumberText(std::span<const std::uint8_t, 3> bytes);
/// Each byte in upper-case hexadecimal without leading zero, in reply order ("12A0FF").
QUENNET_EXPORT QString romChecksumText(std::span<const std::uint8_t, 4> bytes);
/// Audit counters: least significant byte first.
QUENNET_EXPORT std::int32_t counterValue(std::span<const std::uint8_t, 3> bytes);

}  // namespace quennet
