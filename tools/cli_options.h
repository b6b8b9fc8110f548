#pragma once
// Command-line options of the `quennet` tool.

#include <cstdint>
#include <optional>

#include <QString>
#include <QStringList>

#include "quennet/commands/call_guard.h"
#include "quennet/link/protocol_events.h"
#include "tools/shared_options.h"

namespace quennet::cli {

// A command line the tool cannot run; exit status 2 with the message on one line.
using options::UsageError;

struct CliOptions {
  QString port;
  std::uint8_t address = kValidatorAddress;
  bool crc = true;
  // Whether the line echoes; not given: learnt when the port opens, from one simple poll.
  std::optional<bool> echo;
  // Packed key code; set only by --key, which also turns encryption on.
  std::optional<std::int32_t> keyCode;
  // HopperCode for the hopper methods; the control's default when not given.
  std::optional<std::int32_t> hopperCode;
  // Quiet after a good reply before the next frame; the library's guard when not given.
  std::optional<int> repeatGuardMs;
  // BUSY retries and their pause; the wait for a reset device before its next command (batch,
  // events).
  int busyRetries = 0;
  int busyPauseMs = CallGuardSettings{}.busyPauseMs;
  int resetWaitMs = kDefaultResetWaitMs;
  bool json = false;
  bool list = false;
  bool help = false;
  bool version = false;
  // A method name, "events" for the event watch or "monitor" for the passive decoder.
  QString method;
  QStringList args;
  int intervalMs = kDefaultPollIntervalMs;
  // events: print what the buffer holds at start too, not only what happens afterwards.
  bool fromStart = false;
  // events: the RouteBill code for every note that reaches escrow (1 stack, 0 return, 255 hold).
  std::optional<std::uint8_t> route;
  // events: the two inhibit bytes (SetInhibitStatus) sent at start and again after a reset.
  std::optional<QString> inhibits;
  // monitor: a capture (or raw bytes) to decode instead of a port.
  QString input;
};

inline const QString kEventsCommand = QStringLiteral("events");
inline const QString kMonitorCommand = QStringLiteral("monitor");
inline const QString kBatchCommand = QStringLiteral("batch");
inline const QString kScanCommand = QStringLiteral("scan");

// `arguments` excludes the program name. Throws UsageError.
CliOptions parseArguments(const QStringList& arguments);

using options::packKeyDigits;

QString helpText();

}  // namespace quennet::cli
