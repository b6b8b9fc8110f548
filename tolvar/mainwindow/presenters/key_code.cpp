#include "tolvar/mainwindow/presenters/key_code.h"

namespace tolvar {

namespace {

int digitValue(QChar c) {
  return (c >= QLatin1Char('0') && c <= QLatin1Char('9')) ? c.unicode() - '0' : -1;
}

}  // namespace

bool packKeyCode(QString& key, KeyBytes& keyBytes) {
  key = key.size() < 6 ? key.rightJustified(6, QLatin1Char('0')) : key.left(6);
  for (int i = 0; i < 3; ++i) {
    const int first = digitValue(key.at(2 * i));
    const int second = digitValue(key.at(2 * i + 1));
    if (first < 0 || second < 0) return false;
    keyBytes[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(second * 16 + first);
  }
  return true;
}

std::int32_t keyCodeValue(const KeyBytes& keyBytes) {
  return keyBytes[0] + keyBytes[1] * 256 + keyBytes[2] * 65536;
}

}  // namespace tolvar
