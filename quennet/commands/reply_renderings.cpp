#include "quennet/commands/reply_renderings.h"

#include <array>

#include "quennet/commands/cctalk_codes.h"
#include "quennet/commands/command_set.h"
#include "quennet/link/frame.h"
#include "quennet/link/protocol_events.h"

namespace quennet {

QString serialNumberText(std::span<const std::uint8_t, 3> bytes) {
  const unsigned value = bytes[0] * 65536U + bytes[1] * 256U + bytes[2];
  return QStringLiteral("%1").arg(value, 7, 10, QChar('0'));
}

QString serialLabelText(std::span<const std::uint8_t, 3> bytes) {
  return QString::number(bytes[0] + bytes[1] * 256U + bytes[2] * 65536U);
}

QString serialLabelOf(const QByteArray& sent, const QByteArray& reply) {
  // Destination, length, source or CRC, header, data: three data bytes make an eight-byte frame.
  constexpr int kHeaderAt = 3;
  constexpr int kDataAt = 4;
  constexpr int kSerialBytes = 3;
  if (sent.size() < 5 || static_cast<std::uint8_t>(sent[kHeaderAt]) != GET_SERIAL_NO) return {};
  if (reply.size() != kSerialBytes + 5 || static_cast<std::uint8_t>(reply[1]) != kSerialBytes) {
    return {};
  }
  const std::array<std::uint8_t, kSerialBytes> bytes{static_cast<std::uint8_t>(reply[kDataAt]),
                                                     static_cast<std::uint8_t>(reply[kDataAt + 1]),
                                                     static_cast<std::uint8_t>(reply[kDataAt + 2])};
  return serialLabelText(bytes);
}

QString stackerCycleText(const QString& response) {
  if (response == QString(QChar(kStackerFault))) return QLatin1String(kStackerFaultText);
  if (response == QString(QChar(kStackerNotFitted))) return QLatin1String(kStackerNotFittedText);
  return response;
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
