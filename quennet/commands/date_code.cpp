#include "quennet/commands/date_code.h"

namespace quennet {

QString FormatDateCode(std::uint8_t lo, std::uint8_t hi) {
  const int day = lo & 0x1F;
  const int month = (lo & 0xE0) / 32 + 8 * (hi & 1);
  const int year = (hi & 0x3E) / 2;
  const auto twoDigits = [](int value) {
    return QStringLiteral("%1").arg(value, 2, 10, QChar('0'));
  };
  return twoDigits(day) + QChar('/') + twoDigits(month) + QChar('/') + twoDigits(year);
}

}  // namespace quennet
