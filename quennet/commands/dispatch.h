#pragma once
// Every command method by name, with its parameters described once, so that the command-line
// tool, scripts and tests call any method without a parser of their own.

#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>

#include <QList>
#include <QString>
#include <QStringList>
#include <QVariantList>
#include <QVariantMap>

#include "quennet/commands/command_set.h"
#include "quennet/link/quennet_error.h"

namespace quennet {

/// An input or an output parameter.
enum class ParamDirection { In, Out };
/// Byte: 0..255. Long: a signed integer. Text: a string. ByteArray: unsigned bytes.
enum class ParamType { Byte, Long, Text, ByteArray };

/// One parameter of a command method.
struct ParamInfo {
  QString name;                                   ///< as the type library names it
  ParamDirection direction = ParamDirection::In;  ///< input or output
  ParamType type = ParamType::Byte;               ///< its type
  /// Elements allocated for an output byte array; for an input array or text, the most elements
  /// (characters) the command sends. 0: no limit of its own.
  int arraySize = 0;
};

/// What a call by name returned.
struct InvokeResult {
  std::int32_t result = 0;  ///< the method's result code
  /// Output parameter name to value: Byte and Long as integers, Text as a string, ByteArray as a
  /// list of the integers the device sent (empty when the call delivered no data).
  QVariantMap outputs;
};

/// What a method does to the device it asks.
enum class MethodEffect : std::uint8_t {
  ReadsOnly,      ///< asks and leaves the device as it was
  ChangesDevice,  ///< changes the device's settings, address, key or state
  MovesMoney,     ///< takes a note in escrow or returns it, or pays coins out
};

/// One command method in the table: its name, parameters, the header it sends, what it does to
/// the device and a call by name.
struct QUENNET_EXPORT MethodInfo {
  /// Calls the method on a command set with its inputs in order.
  using Invoker = std::function<InvokeResult(CommandSet&, const QVariantList& inputs)>;

  QString name;             ///< the method name
  QList<ParamInfo> params;  ///< every parameter, in order
  Invoker invoker;          ///< the call
  /// False for the engine's trace renderings (CommandSent, ReplyBack): they read what the engine
  /// holds and never stand for a frame to a device.
  bool asksDevice = true;
  /// The header of the frame the method sends; none for a method that sends no frame.
  std::optional<std::uint8_t> header;
  /// What the method does to the device; a service lets its consumers call the methods that only
  /// read without asking.
  MethodEffect effect = MethodEffect::ReadsOnly;

  /// True when the first parameter is the destination address.
  bool hasDevice() const { return !params.isEmpty() && params.front().name == u"Device"; }
  /// The input parameters, in order (Device included).
  QList<ParamInfo> inputs() const;
  /// The output parameters, in order.
  QList<ParamInfo> outputs() const;
  /// "GetSerialNo(Device: Byte, out strResponse: Text)".
  QString signature() const;
};

QUENNET_EXPORT QString typeName(ParamType type);

/// The 62 methods in the order of the control's interface.
QUENNET_EXPORT const QList<MethodInfo>& methodTable();
/// nullptr for an unknown name; names compare exactly.
QUENNET_EXPORT const MethodInfo* findMethod(const QString& name);

/// An output as the tool and the bench print it: a list as its elements joined by commas.
QUENNET_EXPORT QString outputText(const QVariant& value);

/// Checks the number of arguments a caller gives `info`: its inputs after the device address.
/// Throws MisuseError "SetInhibitStatus takes 1 argument(s) (Inhibits), 0 given" when it differs.
QUENNET_EXPORT void checkArgumentCount(const MethodInfo& info, qsizetype given);
/// Checks an argument given as UTF-8 text against what its parameter can send, before the text is
/// copied or parsed: a byte array of more values than its command sends (at most a frame's data
/// when the command sets no limit of its own), a text of more characters. Throws the MisuseError
/// the parse would, "Inhibits takes at most 2 values, 3 given"; a huge argument costs a scan.
QUENNET_EXPORT void checkArgumentSize(const ParamInfo& param, std::string_view utf8);
/// What a caller says when the method itself refused its inputs (a QuennetError it raised):
/// "RouteBill: " and the error's description.
QUENNET_EXPORT QString methodErrorText(const MethodInfo& info, const QString& description);

/// Runs `info` with `inputs` (Device first where it has one) on a command set without a line, so
/// that every check the table and the method make on their inputs runs and nothing is sent.
/// Throws MisuseError for misuse of the table or an input the method refuses by its result
/// ("RequestBillID: Note number above 16", "ChangeKey: Key too short"); a QuennetError the method
/// raises passes through.
QUENNET_EXPORT void checkInputs(const MethodInfo& info, const QVariantList& inputs,
                                std::int32_t hopperCode = CommandSet::kDefaultHopperCode);
/// True for the results by which a method refuses its inputs before it sends (4 and 6).
QUENNET_EXPORT bool refusesInput(int result);

/// What a call did on the line, as the tool, its batch and the bus client report it.
struct CallReport {
  bool sent = false;          ///< its frame went out
  bool acknowledged = false;  ///< result 0 and the device accepted the frame that went out
  /// A device command that returned 0 without sending anything: neither success nor a refusal.
  bool nothingSent = false;
  /// The transaction's caption; without one, what the result means, or
  /// failureText(Failure::NothingSent).
  QString status;
  /// What went wrong: None exactly when acknowledged; NothingSent as above; else as the result
  /// code and the transaction's reply fault stand for (failureOf).
  Failure failure = Failure::None;
};
/// Reads the last transaction of `engine` after a call returned `result`; the caller forgot the
/// transaction before (LinkEngine::forgetLastTransaction()). `deviceCommand` is false for a
/// method that never asks a device (MethodInfo::asksDevice).
QUENNET_EXPORT CallReport reportCall(const LinkEngine& engine, int result,
                                     bool deviceCommand = true);

/// Calls `name` with its input parameters in order (Device first where the method has one).
/// Text inputs are parsed: numbers in decimal, byte arrays as comma-separated decimals. Variant
/// inputs may also hold numbers, lists of numbers or a QByteArray. Throws MisuseError for misuse
/// of the table; errors the method itself raises (QuennetError) pass through.
QUENNET_EXPORT InvokeResult invoke(CommandSet& set, const QString& name,
                                   const QVariantList& inputs);
QUENNET_EXPORT InvokeResult invoke(CommandSet& set, const QString& name, const QStringList& inputs);

}  // namespace quennet
