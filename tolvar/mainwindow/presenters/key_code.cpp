#include "tolvar/mainwindow/presenters/key_code.h"

namespace tolvar {

bool packKeyCode(QString& key, KeyBytes& keyBytes) {
  key = key.size() < quennet::kKeyDigitCount
            ? key.rightJustified(quennet::kKeyDigitCount, QLatin1Char('0'))
            : key.left(quennet::kKeyDigitCount);
  const std::optional<std::int32_t> code = quennet::keyCodeFromDigits(key);
  if (!code) return false;
  keyBytes = quennet::keyBytesFromCode(*code);
  return true;
}

}  // namespace tolvar
