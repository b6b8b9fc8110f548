#include "quennet/link/frame.h"

#include <algorithm>

namespace quennet {

int FrameBuffer::frameLength() const {
  return std::min(dataLength() + 5, kSize);
}

std::span<const std::uint8_t> FrameBuffer::first(int count) const {
  return std::span<const std::uint8_t>(bytes_).first(
      static_cast<std::size_t>(std::clamp(count, 0, kSize)));
}

namespace {
// The CRC of each byte value alone, so a frame costs one look-up a byte (the monitor checks a
// candidate frame at every offset of what it hears).
constexpr std::array<std::uint16_t, 256> kCrcTable = [] {
  std::array<std::uint16_t, 256> table{};
  for (unsigned value = 0; value < 256; ++value) {
    auto crc = static_cast<std::uint16_t>(value << 8);
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc & 0x8000) ? static_cast<std::uint16_t>((crc << 1) ^ 0x1021)
                           : static_cast<std::uint16_t>(crc << 1);
    }
    table[value] = crc;
  }
  return table;
}();
}  // namespace

std::uint16_t crc16Xmodem(std::span<const std::uint8_t> bytes, std::uint16_t crc) {
  for (std::uint8_t byte : bytes) {
    crc = static_cast<std::uint16_t>((crc << 8) ^ kCrcTable[((crc >> 8) ^ byte) & 0xFF]);
  }
  return crc;
}

namespace {
// Last position covered by a checksum: N + 4, never past the buffer even for a corrupt N.
int lastCoveredPosition(const FrameBuffer& buffer) {
  return std::min(buffer.dataLength() + 4, FrameBuffer::kSize);
}
}  // namespace

std::uint8_t Checksum8(const FrameBuffer& buffer) {
  unsigned sum = 0;
  for (int p = 1; p <= lastCoveredPosition(buffer); ++p) sum += buffer.at(p);
  return static_cast<std::uint8_t>((256 - sum % 256) % 256);
}

std::int32_t Crc16(const FrameBuffer& buffer) {
  const int last = lastCoveredPosition(buffer);
  std::uint16_t crc = crc16Xmodem(buffer.first(2));
  if (last >= 4) crc = crc16Xmodem(buffer.first(last).subspan(3), crc);
  return crc;
}

QString renderFrame(std::span<const std::uint8_t> bytes, int style) {
  QString text;
  text.reserve(static_cast<qsizetype>(bytes.size() * 4));
  for (std::uint8_t byte : bytes) {
    if (style == 0) {
      text += QStringLiteral("%1 ").arg(byte, 2, 16, QLatin1Char('0')).toUpper();
    } else {
      text += QString::number(byte) + QLatin1Char(',');
    }
  }
  return text;
}

QString hexText(unsigned value) {
  return QString::number(value, 16).toUpper();
}

}  // namespace quennet
