#pragma once
// Runs one `quennet` command line in-process: parse, open the port, call, print.

#include <functional>
#include <optional>

#include <QStringList>
#include <QTextStream>

#include "quennet/commands/batch_input.h"
#include "quennet/commands/command_set.h"
#include "tools/stop_signal.h"

namespace quennet::cli {

// kExitRefused: the device answered, but with a NAK (or another header than ACK) where a
// command without data wanted its ACK; the result is still 0. kExitOutput: standard output could
// not be written; the run stopped there and sent nothing more. kExitNothingSent: result 0 from
// a command the library does not send (ModifyBillID): no device was asked.
enum ExitStatus : int {
  kExitOk = 0,
  kExitResult = 1,
  kExitUsage = 2,
  kExitRefused = 3,
  kExitOutput = 4,
  kExitNothingSent = 5
};

struct CliStreams {
  QTextStream& out;
  QTextStream& err;
  // Asked between event polls; false ends the event watch.
  std::function<bool()> keepRunning = [] { return true; };
  // Fired by SIGINT or SIGTERM: the call in progress ends at once, the port is closed and the
  // tool exits with the signal's status. None: nothing interrupts.
  StopSignal* stop = nullptr;
  // `quennet batch`: the next input line, or nothing at the end of the input (or on a stop).
  std::function<std::optional<BatchLine>()> readLine = nullptr;
};

// True once a write to streams.out has failed (what was printed is flushed first).
bool outputFailed(CliStreams& streams);

// `arguments` excludes the program name. Returns the exit status.
int runCli(const QStringList& arguments, CliStreams& streams);

}  // namespace quennet::cli
