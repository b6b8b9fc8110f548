#pragma once
// Misuse of the control is the only thing raised as an exception; a device that does not answer
// is a result code. Each error carries the run-time error number containers already know.

#include <stdexcept>

#include <QString>

#include "quennet/quennet_export.h"

namespace quennet {

/// The run-time error numbers the control raises.
enum ErrorNumber : int {
  kErrOverflow = 6,                    ///< a value does not fit its field (hopper code)
  kErrSubscriptOutOfRange = 9,         ///< an array argument lacks an element the command sends
  kErrInvalidProcedureCall = 5,        ///< an argument the command cannot send (negative key code)
  kErrCantPerformOperation = 17,       ///< a transaction is already running on this control
  kErrSetNotSupportedAtRuntime = 382,  ///< a property that cannot be set at run time
  kErrSetNotPermitted = 387,           ///< a property that cannot be set at design time
};

/// Misuse of the control: the only thing raised as an exception. A device that does not answer is a
/// result code.
class QUENNET_EXPORT QuennetError : public std::runtime_error {
 public:
  /// An error with its run-time error number and text.
  QuennetError(int number, const QString& description)
      : std::runtime_error(description.toStdString()), number_(number), description_(description) {}
  /// The error number and its text.
  ///@{
  int number() const { return number_; }
  const QString& description() const { return description_; }
  ///@}

 private:
  int number_;
  QString description_;
};

}  // namespace quennet
