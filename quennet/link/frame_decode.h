#pragma once
// Reading a ccTalk frame's fields out of the bytes on the wire, for logs and passive monitors.

#include <cstdint>
#include <span>

#include <QByteArray>

#include "quennet/quennet_export.h"

namespace quennet {

/// The fields of one frame. Position 3 is the source in 8-bit mode and the CRC's low byte in CRC
/// mode, whose high byte stands in the checksum position.
struct DecodedFrame {
  bool complete = false;         ///< at least five bytes, exactly N + 5 of them
  bool checksumOk = false;       ///< the checksum or CRC holds
  bool crcMode = false;          ///< decoded as a CRC frame
  std::uint8_t destination = 0;  ///< position 1
  std::uint8_t dataLength = 0;   ///< N, position 2
  std::uint8_t source = 0;       ///< 8-bit mode only
  std::uint16_t crc = 0;         ///< CRC mode only: the CRC as received
  std::uint8_t header = 0;       ///< position 4
  QByteArray data;               ///< the data bytes present, at most N
};

/// Decodes what `bytes` holds of a frame; fields the bytes do not reach stay 0.
QUENNET_EXPORT DecodedFrame decodeFrame(std::span<const std::uint8_t> bytes, bool crcMode);

/// True when `bytes` is exactly one frame (N + 5 bytes) whose checksum or CRC is right.
QUENNET_EXPORT bool frameChecks(std::span<const std::uint8_t> bytes, bool crcMode);

/// A QByteArray's bytes as the span the decoder takes.
inline std::span<const std::uint8_t> byteSpan(const QByteArray& bytes) {
  return {reinterpret_cast<const std::uint8_t*>(bytes.constData()),
          static_cast<std::size_t>(bytes.size())};
}

}  // namespace quennet
