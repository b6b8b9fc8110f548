#pragma once
// Renderings of reply data that several command methods share.

#include <cstdint>
#include <span>

#include <QByteArray>
#include <QString>

#include "quennet/quennet_export.h"

namespace quennet {

/// First byte most significant; decimal padded to at least seven digits ("0066051").
QUENNET_EXPORT QString serialNumberText(std::span<const std::uint8_t, 3> bytes);
/// The serial number as the device's label reads it: least significant byte first, in decimal
/// ("1234567" for the reply data 87 D6 12).
QUENNET_EXPORT QString serialLabelText(std::span<const std::uint8_t, 3> bytes);
/// The same from the clear frames of one exchange; empty unless `sent` asks for the serial number
/// (header 242) and `reply` carries its three bytes.
QUENNET_EXPORT QString serialLabelOf(const QByteArray& sent, const QByteArray& reply);
/// CycleStacker's Response with a refusal named (kStackerFaultText, kStackerNotFittedText) rather
/// than given as the byte's character; any other response as it is.
QUENNET_EXPORT QString stackerCycleText(const QString& response);
/// Each byte in upper-case hexadecimal without leading zero, in reply order ("12A0FF").
QUENNET_EXPORT QString romChecksumText(std::span<const std::uint8_t, 4> bytes);
/// Audit counters: least significant byte first.
QUENNET_EXPORT std::int32_t counterValue(std::span<const std::uint8_t, 3> bytes);

}  // namespace quennet
