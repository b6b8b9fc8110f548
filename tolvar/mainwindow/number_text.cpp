#include "tolvar/mainwindow/number_text.h"

#include <cmath>

#include <QRegularExpression>

namespace tolvar {

namespace {

const QRegularExpression& numberPattern() {
  static const QRegularExpression pattern(QStringLiteral(R"(^[+-]?(\d+\.?\d*|\.\d+))"));
  return pattern;
}

}  // namespace

double leadingValue(const QString& text) {
  const QString trimmed = text.trimmed();
  const QRegularExpressionMatch match = numberPattern().match(trimmed);
  if (!match.hasMatch()) return 0.0;
  QString number = match.captured(0);
  if (number.endsWith('.')) number.chop(1);
  return number.toDouble();
}

std::int64_t roundHalfEven(double value) {
  if (!std::isfinite(value)) return 0;
  const double floor = std::floor(value);
  const double fraction = value - floor;
  double result = floor;
  if (fraction > 0.5 || (fraction == 0.5 && std::fmod(floor, 2.0) != 0.0)) result += 1.0;
  return static_cast<std::int64_t>(result);
}

std::optional<std::int64_t> strictInteger(const QString& text, std::int64_t low,
                                          std::int64_t high) {
  const QString trimmed = text.trimmed();
  const QRegularExpressionMatch match = numberPattern().match(trimmed);
  if (!match.hasMatch() || match.capturedLength(0) != trimmed.size()) return std::nullopt;
  const double value = trimmed.toDouble();
  if (std::fabs(value) > 9.0e15) return std::nullopt;
  const std::int64_t rounded = roundHalfEven(value);
  if (rounded < low || rounded > high) return std::nullopt;
  return rounded;
}

}  // namespace tolvar
