#include "quennet/commands/reply_renderings.h"

#include "quennet/link/frame.h"

namespace quennet {

QString serialNumberText(std::span<const std::uint8_t, 3> bytes) {
  const unsigned value = bytes[0] * 65536U + bytes[1] * 256U + bytes[2];
  return QStringLiteral("%1").arg(value, 7, 10, QChar('0'));
}

QString romChecksumText(std::span<const std::uint8_t, 4> bytes) {
  QString text;
  for (const std::uint8_t byte : bytes) text += hexText(byte);
  return text;
}

std::int32_t counterValue(std::span<const std::uint8_t, 3> bytes) {
  return bytes[0] + bytes[1] * 256 + bytes[2] * 65536;
}

}  // namespace quennet
