#pragma once
// Builds device reply frames for scripted and pseudo-terminal devices in tests.

#include <cstdint>
#include <vector>

#include <QByteArray>

#include "quennet/link/encryption.h"
#include "quennet/link/frame.h"

namespace testframes {

// A reply to the host (address 1) with `header` and `data`, completed with the CRC or the
// 8-bit checksum, optionally scrambled with `key`.
inline QByteArray reply(std::uint8_t header, const std::vector<std::uint8_t>& data, bool crc,
                        const quennet::KeyDigits* key = nullptr) {
  quennet::FrameBuffer b;
  b.at(1) = 1;
  b.at(2) = static_cast<std::uint8_t>(data.size());
  b.at(3) = 40;
  b.at(4) = header;
  for (std::size_t i = 0; i < data.size(); ++i) b.at(static_cast<int>(i) + 5) = data[i];
  const int last = static_cast<int>(data.size()) + 5;
  if (crc) {
    const auto value = static_cast<std::uint16_t>(quennet::Crc16(b));
    b.at(3) = static_cast<std::uint8_t>(value & 0xFF);
    b.at(last) = static_cast<std::uint8_t>(value >> 8);
    if (key) quennet::EncryptFrame(b, *key);
  } else {
    b.at(last) = quennet::Checksum8(b);
  }
  const auto bytes = b.first(last);
  return QByteArray(reinterpret_cast<const char*>(bytes.data()), last);
}

// Frame length of what the host has written so far, or 0 while incomplete.
inline int completeFrameLength(const QByteArray& written) {
  if (written.size() < 2) return 0;
  const int length = static_cast<std::uint8_t>(written[1]) + 5;
  return written.size() >= length ? length : 0;
}

}  // namespace testframes
