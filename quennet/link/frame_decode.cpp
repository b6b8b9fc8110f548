#include "quennet/link/frame_decode.h"

#include "quennet/link/frame.h"

namespace quennet {

namespace {

constexpr std::size_t kOverhead = 5;

// Works on the span rather than a FrameBuffer: a passive reader meets length bytes up to 255,
// whose frames do not fit the control's 256-byte buffers.
bool checksumMatches(std::span<const std::uint8_t> frame, bool crcMode) {
  const std::size_t last = frame.size() - 1;
  if (!crcMode) {
    unsigned sum = 0;
    for (std::uint8_t byte : frame) sum += byte;
    return (sum & 0xFF) == 0;
  }
  std::uint16_t crc = crc16Xmodem(frame.first(2));
  crc = crc16Xmodem(frame.subspan(3, last - 3), crc);
  return crc == static_cast<std::uint16_t>(frame[last] << 8 | frame[2]);
}

}  // namespace

bool frameChecks(std::span<const std::uint8_t> bytes, bool crcMode) {
  return bytes.size() >= kOverhead && bytes.size() == bytes[1] + kOverhead &&
         checksumMatches(bytes, crcMode);
}

DecodedFrame decodeFrame(std::span<const std::uint8_t> bytes, bool crcMode) {
  DecodedFrame frame;
  frame.crcMode = crcMode;
  const std::size_t size = bytes.size();
  if (size >= 1) frame.destination = bytes[0];
  if (size >= 2) frame.dataLength = bytes[1];
  if (size >= 3 && !crcMode) frame.source = bytes[2];
  if (size >= 4) frame.header = bytes[3];
  if (size > 4) {
    const std::size_t present = std::min<std::size_t>(size - 4, frame.dataLength);
    frame.data = QByteArray(reinterpret_cast<const char*>(bytes.data() + 4),
                            static_cast<qsizetype>(present));
  }
  frame.complete = size >= kOverhead && size == frame.dataLength + kOverhead;
  if (frame.complete) {
    if (crcMode) frame.crc = static_cast<std::uint16_t>(bytes[size - 1] << 8 | bytes[2]);
    frame.checksumOk = checksumMatches(bytes, crcMode);
  }
  return frame;
}

}  // namespace quennet
