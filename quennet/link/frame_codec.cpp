#include "quennet/link/frame_codec.h"

#include <algorithm>

#include "quennet/link/encryption.h"
#include "quennet/link/protocol.h"
#include "quennet/link/quennet_error.h"

namespace quennet {

QByteArray FrameCodec::seal(FrameBuffer& frame, bool corrupt) const {
  const int last = frame.dataLength() + 5;
  if (!crc) {
    frame.at(3) = kHostAddress;
    std::uint8_t checksum = Checksum8(frame);
    if (corrupt) checksum ^= 1;
    frame.at(last) = checksum;
  } else {
    // A corrupted CRC of 0xFFFF wraps to 0x0000 so it still fits its two bytes.
    std::uint32_t value = static_cast<std::uint32_t>(Crc16(frame));
    if (corrupt) value = (value + 1) & 0xFFFF;
    frame.at(3) = static_cast<std::uint8_t>(value & 0xFF);
    frame.at(last) = static_cast<std::uint8_t>(value >> 8);
    if (encrypted) EncryptFrame(frame, key);
  }
  const auto bytes = frame.first(last);
  return QByteArray(reinterpret_cast<const char*>(bytes.data()), static_cast<qsizetype>(last));
}

bool FrameCodec::verify(const FrameBuffer& reply, int length, QString* errorText) const {
  if (!crc) {
    const unsigned computed = Checksum8(reply);
    const unsigned received = reply.at(length);
    if (computed == received) return true;
    if (errorText)
      *errorText = failureText(Failure::Checksum) + QLatin1Char(' ') + hexText(computed) +
                   QStringLiteral(" <> ") + hexText(received);
    return false;
  }
  const unsigned received = reply.at(length) * 256U + reply.at(3);
  const unsigned computed = static_cast<unsigned>(Crc16(reply));
  if (computed == received) return true;
  if (errorText)
    *errorText = failureText(Failure::Checksum) + QLatin1Char(' ') + hexText(received) +
                 QStringLiteral(" <> ") + hexText(computed);
  return false;
}

int FrameCodec::findReply(const QByteArray& bytes, int from) const {
  const int size = static_cast<int>(bytes.size());
  for (int at = std::max(from, 0); at + 5 <= size; ++at) {
    if (static_cast<std::uint8_t>(bytes[at]) != kHostAddress) continue;
    const int length = static_cast<std::uint8_t>(bytes[at + 1]) + 5;
    if (length - 5 > kMaxDataLength || at + length > size) continue;
    FrameBuffer frame;
    for (int i = 0; i < length; ++i) frame.at(i + 1) = static_cast<std::uint8_t>(bytes[at + i]);
    if (!crc) {
      if (Checksum8(frame) == frame.at(length)) return at;
      continue;
    }
    if (encrypted) DecryptReply(frame, key);
    if (static_cast<unsigned>(Crc16(frame)) == frame.at(length) * 256U + frame.at(3)) return at;
  }
  return -1;
}

QByteArray FrameCodec::inClear(const QByteArray& onLine) const {
  if (!encrypted || onLine.size() < 5) return onLine;
  FrameBuffer frame;
  for (int i = 0; i < onLine.size(); ++i) frame.at(i + 1) = static_cast<std::uint8_t>(onLine[i]);
  DecryptReply(frame, key);
  const auto clear = frame.first(static_cast<int>(onLine.size()));
  return QByteArray(reinterpret_cast<const char*>(clear.data()), onLine.size());
}

int echoDifference(const QByteArray& echo, const QByteArray& written) {
  for (int i = 0; i < written.size(); ++i) {
    if (i >= echo.size() || echo[i] != written[i]) return i + 1;
  }
  return 0;
}

}  // namespace quennet
