#pragma once
// The optional encryption layer: an in-place scrambling of a CRC frame's positions 3..N+5.
// Destination and length (positions 1 and 2) stay in the clear so a receiver can still frame.

#include <array>
#include <cstdint>
#include <optional>

#include <QString>

#include "quennet/link/frame.h"
#include "quennet/quennet_export.h"

namespace quennet {

/// The six key digits K0..K5, each a nibble of the key code (K0 least significant).
using KeyDigits = std::array<std::uint8_t, 6>;

/// Constants of the layer shared by both ends of a link: the values ccTalk devices and public host
/// implementations use. Each table entry lies in 1..7 because decryption reads the selected bit
/// one place lower after the encryption shift.
inline constexpr std::array<std::uint8_t, 10> kBitTable = {7, 4, 5, 3, 1, 2, 3, 2, 6, 1};
inline constexpr std::uint8_t kTapConstant = 0x63;

QUENNET_EXPORT KeyDigits keyDigitsFromCode(std::int32_t keyCode);

/// Six decimal digits d1..d6 packed as the host does: digit k becomes nibble k-1 of the code.
/// Nothing for any other text: only six ASCII digits 0 to 9 make a key.
QUENNET_EXPORT std::optional<std::int32_t> keyCodeFromDigits(const QString& digits);

/// Both work on positions 3..N+5 of the buffer, N read from position 2 (which must be <= 251).
QUENNET_EXPORT void EncryptFrame(FrameBuffer& buffer, const KeyDigits& key,
                                 const std::array<std::uint8_t, 10>& bitTable = kBitTable,
                                 std::uint8_t tapConstant = kTapConstant);
QUENNET_EXPORT void DecryptReply(FrameBuffer& buffer, const KeyDigits& key,
                                 const std::array<std::uint8_t, 10>& bitTable = kBitTable,
                                 std::uint8_t tapConstant = kTapConstant);

}  // namespace quennet
