#pragma once
// Everything that can go wrong, in three lists and no more: the result codes every command
// method returns, the run-time error numbers misuse and a failed port carry, and the failures
// (Failure) a caller branches on beside them: why a reply was refused, how a bus request ended,
// misuse of a call by name. Misuse is the only thing raised as an exception; a device that does
// not answer is a result code. Every code, number and failure the library reports is listed
// here, once, with its text.

#include <cstdint>
#include <span>
#include <stdexcept>

#include <QString>

#include "quennet/quennet_export.h"

namespace quennet {

/// Result codes shared by the engine and every command method.
enum ResultCode : std::int16_t {
  kResultBusy = -1,
  kResultOk = 0,
  kResultTimeout = 2,
  kResultChecksum = 3,
  kResultNoteNumber = 4,
  kResultNotEnabled = 5,
  kResultKeyTooShort = 6,
};

/// Plain words for a result that no frame on the line explains (no caption of its own): "OK",
/// "Port closed", "Note number above 16", "Key too short", or "Result <code>".
QUENNET_EXPORT QString resultMeaning(int result);

/// What went wrong, as a value to branch on: the one list beside the result codes and the error
/// numbers. A transaction's refused reply (result 3) names its fault (Checksum ... WrongLength);
/// a bus request ends in one of them or in None ... Unknown; misuse of a call is Misuse.
enum class Failure : std::uint8_t {
  None,         ///< result 0 and the device accepted the request
  PortClosed,   ///< the port is closed, failed or went away (result 5); nothing answered
  Timeout,      ///< no reply in time (result 2)
  Busy,         ///< the device answered BUSY (result -1)
  Refused,      ///< result 0 without acknowledgement: a NAK, or a refusal byte (254, 255)
  NothingSent,  ///< result 0 from a command the library does not send (ModifyBillID)
  /// the request cannot be sent as asked: results 4 and 6, a MisuseError or QuennetError
  Misuse,
  Unknown,  ///< a result code no other failure stands for
  // A reply that came but cannot be taken (result 3):
  Checksum,  ///< wrong checksum or CRC
  TooLong,   ///< the length byte promises more data than a frame holds
  TooShort,  ///< fewer data bytes than the command needs (an ACK or NAK where data was asked)
  Overflow,  ///< more data than the caller's array holds, or more answers than a collection keeps
  Address,   ///< not addressed to the host
  WrongSource,   ///< 8-bit mode: a reply whose source is not the device asked
  EchoMismatch,  ///< the echo differs from the frame written
  Garbled,       ///< bytes that form no reply to the host, and no reply after them
  Unexpected,    ///< data in answer to a command whose reply carries none
  /// data of another length than every reply to the command carries (a note's identity of six
  /// characters where seven come, a counter of four bytes)
  WrongLength,
};

/// Every Failure, in the order declared.
QUENNET_EXPORT std::span<const Failure> failures();
/// The failure's text: "OK", "Port closed", "Timeout Error", "BUSY", "Checksum Error",
/// "Reply Too Short" ... A transaction's caption begins with it and adds what it saw
/// ("Timeout Error [0]", "Reply Too Short [NACK]").
QUENNET_EXPORT QString failureText(Failure failure);
/// The failure a call's result code stands for, with the device's acknowledgement of result 0
/// and, for result 3, the fault the transaction found in the reply (None: Unknown).
QUENNET_EXPORT Failure failureOf(int result, bool acknowledged, Failure replyFault = Failure::None);
/// True for the faults of a reply that came but was refused (result 3).
QUENNET_EXPORT bool isReplyFault(Failure failure);

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

/// Misuse of the library (Failure::Misuse): everything it raises. A device that does not answer
/// is a result code, never an exception. Raised as itself for a call by name the method table
/// cannot make (an unknown method, a wrong count of arguments, an argument that does not parse
/// or is longer than its command sends, an input the method refuses by its result); as
/// QuennetError where the control raises a run-time error number.
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
