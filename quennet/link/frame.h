#pragma once
// ccTalk frame buffers, checksums and trace renderings.

#include <array>
#include <cstdint>
#include <span>

#include <QString>

#include "quennet/quennet_export.h"

namespace quennet {

/// Checksum_Type of the type library: any non-zero value selects the CRC.
enum Checksum_Type : std::int32_t { CHKSM_8BIT = 0, CHKSM_16BIT = 1 };

/// The six key digits K0..K5 a link encrypts with, each a nibble of the key code (K0 least
/// significant).
inline constexpr int kKeyDigitCount = 6;
using KeyDigits = std::array<std::uint8_t, kKeyDigitCount>;

/// Largest data length whose frame (N + 5 bytes) fits a 256-byte buffer.
inline constexpr int kMaxDataLength = 251;

/// One of the control's two fixed 256-byte frame buffers. Positions are 1-based as on the wire:
/// 1 destination, 2 data length N, 3 source or CRC low byte, 4 header, 5..N+4 data,
/// N+5 checksum or CRC high byte.
class QUENNET_EXPORT FrameBuffer {
 public:
  static constexpr int kSize = 256;  ///< bytes in a buffer

  /// The byte at a 1-based position.
  ///@{
  std::uint8_t& at(int position) { return bytes_.at(static_cast<std::size_t>(position - 1)); }
  std::uint8_t at(int position) const { return bytes_.at(static_cast<std::size_t>(position - 1)); }
  ///@}

  /// N, the data length at position 2.
  int dataLength() const { return at(2); }
  /// Length of the frame whose N is at position 2 (N + 5), capped to the buffer.
  int frameLength() const;
  /// Sets every byte to 0.
  void clear() { bytes_.fill(0); }
  /// Positions 1..count as a view.
  std::span<const std::uint8_t> first(int count) const;

 private:
  std::array<std::uint8_t, kSize> bytes_{};
};

/// CRC-16/XMODEM: polynomial 0x1021, initial value 0, MSB first, no reflection, no final XOR.
QUENNET_EXPORT std::uint16_t crc16Xmodem(std::span<const std::uint8_t> bytes,
                                         std::uint16_t crc = 0);

/// 8-bit additive checksum of positions 1..N+4: the byte that makes the frame sum to 0 mod 256.
QUENNET_EXPORT std::uint8_t Checksum8(const FrameBuffer& buffer);
/// CRC of positions 1, 2 and 4..N+4 (the CRC bytes at 3 and N+5 never enter it).
QUENNET_EXPORT std::int32_t Crc16(const FrameBuffer& buffer);

/// Trace rendering of frame bytes: style 0 is "02 00 01 FE FF ", non-zero is "2,0,1,254,255,".
QUENNET_EXPORT QString renderFrame(std::span<const std::uint8_t> bytes, int style);

/// Upper-case hexadecimal without leading zeros ("B", "A13D", "0").
QUENNET_EXPORT QString hexText(unsigned value);

}  // namespace quennet
