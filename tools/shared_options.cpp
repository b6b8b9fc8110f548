#include "tools/shared_options.h"

#include "quennet/link/encryption.h"

namespace quennet::options {

std::int32_t packKeyDigits(const QString& digits) {
  if (digits.size() != 6) throw UsageError(QStringLiteral("--key needs exactly six digits"));
  const std::optional<std::int32_t> code = keyCodeFromDigits(digits);
  if (!code) throw UsageError(QStringLiteral("--key needs exactly six digits 0 to 9"));
  return *code;
}

}  // namespace quennet::options
