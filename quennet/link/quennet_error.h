#pragma once
// Misuse of the control is the only thing raised as an exception; a device that does not answer
// is a result code. Each error carries the run-time error number containers already know, and a
// failed port carries one of the serial control's numbers (LineError). Every number the library
// reports is listed here, once.

#include <span>
#include <stdexcept>

#include <QString>

#include "quennet/quennet_export.h"

namespace quennet {

/// The run-time error numbers the control raises.
enum ErrorNumber : int {
  kErrInvalidProcedureCall = 5,        ///< an argument the command cannot send (negative key code)
  kErrOverflow = 6,                    ///< a value does not fit its field (hopper code)
  kErrSubscriptOutOfRange = 9,         ///< an array argument lacks an element the command sends
  kErrCantPerformOperation = 17,       ///< a transaction is already running on this control
  kErrInvalidPropertyValue = 380,      ///< a property value out of its range
  kErrSetNotSupportedAtRuntime = 382,  ///< a property that cannot be set at run time
  kErrSetNotPermitted = 387,           ///< a property that cannot be set at design time
  // Port failures, as the serial control numbers them.
  kErrInvalidPortNumber = 8002,    ///< no such port
  kErrPortInUse = 8005,            ///< another program holds the port
  kErrHardwareUnavailable = 8010,  ///< the device went away (unplugged, hung up)
  kErrPortNotOpen = 8012,          ///< the port is not open
  kErrCommState = 8015,            ///< any other failure of the port
};

/// Every ErrorNumber, in ascending order.
QUENNET_EXPORT std::span<const ErrorNumber> errorNumbers();
/// The enumerator's name without its prefix ("PortInUse"), or an empty string for a number the
/// library never reports.
QUENNET_EXPORT QString errorName(int number);
/// The short text a message box shows for the number ("Port already open"), or
/// "Error <number>" for a number the library never reports.
QUENNET_EXPORT QString errorCaption(int number);
/// What a port that failed (or could not be opened) reads as in a status line:
/// "Comms Error: " and the failure's description.
QUENNET_EXPORT QString commsErrorText(const QString& description);

/// Misuse of the library: the one base of everything it raises. A device that does not answer is
/// a result code, never an exception. Catch this to take every misuse alike: QuennetError (a
/// run-time error number) and DispatchError (a call by name the method table cannot make).
class QUENNET_EXPORT MisuseError : public std::runtime_error {
 public:
  /// An error with its text.
  explicit MisuseError(const QString& message)
      : std::runtime_error(message.toStdString()), message_(message) {}
  /// What was wrong, in one line.
  const QString& message() const { return message_; }

 private:
  QString message_;
};

/// Misuse of the control, with the run-time error number containers know.
class QUENNET_EXPORT QuennetError : public MisuseError {
 public:
  /// An error with its run-time error number and text.
  QuennetError(int number, const QString& description)
      : MisuseError(description), number_(number) {}
  /// The error with its number's caption as the description.
  explicit QuennetError(ErrorNumber number) : QuennetError(number, errorCaption(number)) {}
  /// The error number and its text.
  ///@{
  int number() const { return number_; }
  const QString& description() const { return message(); }
  ///@}

 private:
  int number_;
};

}  // namespace quennet
