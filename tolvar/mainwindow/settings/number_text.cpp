#include "tolvar/mainwindow/settings/number_text.h"

#include <algorithm>
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
  if (std::isnan(value)) return 0;
  // Saturate far beyond any field's range: converting a larger double to an integer is undefined.
  constexpr double kLimit = 9.0e15;
  // nearbyint rounds in the default mode, to nearest with ties to even.
  return static_cast<std::int64_t>(std::nearbyint(std::clamp(value, -kLimit, kLimit)));
}

std::optional<std::int32_t> roundedInRange(double value, std::int32_t lo, std::int32_t hi) {
  const double rounded = std::nearbyint(value);
  if (!(rounded >= lo && rounded <= hi)) return std::nullopt;
  return static_cast<std::int32_t>(rounded);
}

std::optional<double> wholeNumber(const QString& text) {
  const QString trimmed = text.trimmed();
  const QRegularExpressionMatch match = numberPattern().match(trimmed);
  if (!match.hasMatch() || match.capturedLength(0) != trimmed.size()) return std::nullopt;
  return trimmed.toDouble();
}

std::optional<std::int64_t> strictInteger(const QString& text, std::int64_t low,
                                          std::int64_t high) {
  const std::optional<double> value = wholeNumber(text);
  if (!value || std::fabs(*value) > 9.0e15) return std::nullopt;
  const std::int64_t rounded = roundHalfEven(*value);
  if (rounded < low || rounded > high) return std::nullopt;
  return rounded;
}

}  // namespace tolvar
