#pragma once
// The optional encryption layer: an in-place scrambling of a CRC frame's positions 3..N+5.
// Destination and length (positions 1 and 2) stay in the clear so a receiver can still frame.

#include <array>
#include <cstdint>
#include <optional>
#include <span>

#include <QString>

#include "quennet/link/frame.h"
#include "quennet/quennet_export.h"

namespace quennet {

/// Constants of the layer shared by both ends of a link: the values ccTalk devices and public host
/// implementations use. Each table entry lies in 1..7 because decryption reads the selected bit
/// one place lower after the encryption shift.
inline constexpr std::array<std::uint8_t, 10> kBitTable = {7, 4, 5, 3, 1, 2, 3, 2, 6, 1};
inline constexpr std::uint8_t kTapConstant = 0x63;

QUENNET_EXPORT KeyDigits keyDigitsFromCode(std::int32_t keyCode);

/// Six decimal digits d1..d6 packed as the host does: digit k becomes nibble k-1 of the code.
/// Nothing for any other text: only six ASCII digits 0 to 9 make a key.
QUENNET_EXPORT std::optional<std::int32_t> keyCodeFromDigits(const QString& digits);
/// The key as six hexadecimal digits in the same order: a key a host changed may hold nibbles
/// above 9. keyCodeFromText reads it back; a character that is no hexadecimal digit reads as 0,
/// and missing digits as 0.
///@{
QUENNET_EXPORT QString keyTextFromCode(std::int32_t keyCode);
QUENNET_EXPORT std::int32_t keyCodeFromText(const QString& digits);
///@}

/// The three bytes a key change (header 137) sends: digit pairs d2d1, d4d3, d6d5, that is the
/// code's low byte first.
using KeyBytes = std::array<std::uint8_t, 3>;
QUENNET_EXPORT KeyBytes keyBytesFromCode(std::int32_t keyCode);
/// The code of the first three bytes of a key change; 0 for fewer.
QUENNET_EXPORT std::int32_t keyCodeFromBytes(std::span<const std::uint8_t> bytes);

/// Both work on positions 3..N+5 of the buffer, N read from position 2 (which must be <= 251).
QUENNET_EXPORT void EncryptFrame(FrameBuffer& buffer, const KeyDigits& key,
                                 const std::array<std::uint8_t, 10>& bitTable = kBitTable,
                                 std::uint8_t tapConstant = kTapConstant);
QUENNET_EXPORT void DecryptReply(FrameBuffer& buffer, const KeyDigits& key,
                                 const std::array<std::uint8_t, 10>& bitTable = kBitTable,
                                 std::uint8_t tapConstant = kTapConstant);

}  // namespace quennet
