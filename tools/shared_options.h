#pragma once
// Option handling the `quennet` tool and quennetd share: the usage error and the key digits.

#include <cstdint>
#include <stdexcept>

#include <QString>

namespace quennet::options {

// A command line that cannot be run, with its message on one line.
class UsageError : public std::runtime_error {
 public:
  explicit UsageError(const QString& message)
      : std::runtime_error(message.toStdString()), message_(message) {}
  const QString& message() const { return message_; }

 private:
  QString message_;
};

// Six decimal digits d1..d6 packed as the host does: digit k becomes nibble k-1 of the code.
// Only the ASCII digits 0 to 9 count: any other character is a usage error, never a guess.
std::int32_t packKeyDigits(const QString& digits);

}  // namespace quennet::options
