#include "tolvar/mainwindow/panes/unit_data_text.h"

#include <array>

namespace tolvar {

QString dataStorageText(std::span<const std::uint8_t> bytes) {
  QString text;
  for (std::uint8_t byte : bytes) text += QString::number(byte) + QLatin1Char(',');
  return text;
}

QString pollPriorityText(std::uint8_t unit, std::uint8_t value) {
  switch (unit) {
    case 1:
      return QString::number(value) + QStringLiteral(" msecs");
    case 2:
      return QString::number(value * 10) + QStringLiteral(" msecs");
    case 3:
      return QString::number(value) + QStringLiteral(" secs");
    default:
      return QStringLiteral("%1[%2]").arg(value).arg(unit);
  }
}

}  // namespace tolvar
