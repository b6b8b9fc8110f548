#include "tools/shared_options.h"

namespace quennet::options {

std::int32_t packKeyDigits(const QString& digits) {
  if (digits.size() != 6) throw UsageError(QStringLiteral("--key needs exactly six digits"));
  std::int32_t code = 0;
  for (int k = 0; k < 6; ++k) {
    const char16_t c = digits[k].unicode();
    if (c < u'0' || c > u'9') {
      throw UsageError(QStringLiteral("--key needs exactly six digits 0 to 9"));
    }
    code |= (c - u'0') << (4 * k);
  }
  return code;
}

}  // namespace quennet::options
