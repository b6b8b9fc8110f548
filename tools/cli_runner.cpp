#include "tools/cli_runner.h"

#include <memory>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "quennet/commands/bus_scan.h"
#include "quennet/commands/dispatch.h"
#include "quennet/commands/reply_renderings.h"
#include "quennet/link/encryption.h"
#include "quennet/link/frame_text.h"
#include "quennet/link/port_access.h"
#include "quennet/link/qt_serial_line.h"
#include "quennet/link/quennet_error.h"
#include "quennet/quennet_version.h"
#include "tools/bus_monitor.h"
#include "tools/cli_options.h"
#include "tools/event_watch.h"

namespace quennet::cli {

namespace {

const QString kPortSettings = QStringLiteral("9600,n,8,1");

// The serial line's error number for a port it could not have.

void printList(bool json, QTextStream& out) {
  if (!json) {
    for (const MethodInfo& info : methodTable()) out << info.signature() << Qt::endl;
    return;
  }
  QJsonArray methods;
  for (const MethodInfo& info : methodTable()) {
    QJsonArray params;
    for (const ParamInfo& p : info.params) {
      QJsonObject param{{"name", p.name},
                        {"direction", p.direction == ParamDirection::Out ? "out" : "in"},
                        {"type", typeName(p.type)}};
      if (p.arraySize > 0) param.insert("size", p.arraySize);
      params.append(param);
    }
    methods.append(QJsonObject{{"name", info.name}, {"params", params}});
  }
  out << QJsonDocument(methods).toJson(QJsonDocument::Compact) << Qt::endl;
}

// The method's ARGs with the address in front where the method takes a Device. Every input
// the method table or the method would refuse is a usage error here, before anything is sent.
QStringList methodInputs(const MethodInfo& info, const CliOptions& options) {
  QStringList inputs = options.args;
  if (info.hasDevice()) inputs.prepend(QString::number(options.address));
  try {
    checkArgumentCount(info, options.args.size());
    checkInputs(info, QVariantList(inputs.begin(), inputs.end()),
                options.hopperCode.value_or(CommandSet::kDefaultHopperCode));
  } catch (const QuennetError& error) {
    throw UsageError(methodErrorText(info, error.description()));
  } catch (const MisuseError& error) {
    throw UsageError(error.message());
  }
  return inputs;
}

void requirePort(const CliOptions& options) {
  if (options.port.isEmpty()) throw UsageError(QStringLiteral("--port PATH is required"));
}

UsageError openFailure(const QString& port, const LineError& error) {
  return UsageError(openFailureText(port, error));
}

// Frames, echo, key and hopper code as the options say; every one is set, so a batch line
// without --key sends in the clear after a line with one. Without --echo or --no-echo the line
// echoes as learnt from an earlier reply, or as it is expected to until one tells.
CallGuardSettings guardSettings(const CliOptions& options) {
  return {options.busyRetries, options.busyPauseMs, options.resetWaitMs};
}

void applyLineOptions(CommandSet& set, CallGuard& guard, const CliOptions& options,
                      bool echoLearnt) {
  set.setChecksumType(options.crc ? CHKSM_16BIT : CHKSM_8BIT);
  set.setCommsEcho(options.echo.value_or(echoLearnt));
  set.setEncryption(options.keyCode.has_value());
  if (options.keyCode) set.setKeyDigits(keyDigitsFromCode(*options.keyCode));
  set.setHopperCode(options.hopperCode.value_or(CommandSet::kDefaultHopperCode));
  set.setRepeatGuardMs(options.repeatGuardMs.value_or(LinkEngine::kRepeatGuardMs));
  guard.setSettings(guardSettings(options));
  // What the engine reports next is this call's alone.
  set.forgetLastTransaction();
}

// Puts nothing on the line: without --echo or --no-echo the line is expected to echo, and a
// whole reply that comes without the echo is taken all the same and named ("no echo on this
// line"), so no frame the caller did not ask for goes out to find out first.
void openLine(CommandSet& set, CallGuard& guard, const CliOptions& options) {
  requirePort(options);
  auto line = std::make_unique<QtSerialLine>();
  line->setDeviceName(options.port);
  line->setSettings(kPortSettings);
  if (!line->open()) throw openFailure(options.port, line->lastError());
  set.setLine(std::move(line));
  applyLineOptions(set, guard, options, true);
}

// What the last transaction showed of the line's echo: the echo came back, or a reply was taken
// without it (`missingBefore`: the engine's count of such replies before the call). Nothing when
// neither: no reply, or one that could not be taken.
std::optional<bool> echoShown(const CommandSet& set, int missingBefore) {
  if (set.lastTransaction().echoHeard) return true;
  if (set.statistics().missingEchoes > missingBefore) return false;
  return std::nullopt;
}

// The event watch polls through a bus client, with the same set-up as a single call: no poll to
// learn the echo either.
void openBus(BusClient& bus, const CliOptions& options) {
  requirePort(options);
  bus.setPortName(options.port);
  bus.setChecksumType(options.crc ? CHKSM_16BIT : CHKSM_8BIT);
  bus.setCommsEcho(options.echo.value_or(true));
  if (options.keyCode) {
    bus.setKeyCode(*options.keyCode);
    bus.setEncryption(true);
  }
  if (options.hopperCode) bus.setHopperCode(*options.hopperCode);
  if (options.repeatGuardMs) bus.setRepeatGuardMs(*options.repeatGuardMs);
  bus.setCallGuard(guardSettings(options));
  if (!bus.open()) throw openFailure(options.port, LineError{bus.errorNumber(), bus.errorString()});
}

// Closing the port ends any wait on it at once; the transaction then fails without a reply.
StopSignal::Subscription closeOnStop(CommandSet& set, CliStreams& streams) {
  return StopSignal::listen(streams.stop, [&set] {
    if (set.line()) set.line()->close();
  });
}

int interrupted(CliStreams& streams) {
  streams.err << "quennet: interrupted" << Qt::endl;
  return streams.stop->exitStatus();
}

// Result 0 with a NAK (or a refusal carried as data) for the frame that went out.
bool refused(const CallReport& report, int result) {
  return result == kResultOk && report.sent && !report.acknowledged;
}

bool expectationMet(const ExpectedResult& expected, int result, const CallReport& report) {
  return expected.met(result, report.sent, report.acknowledged);
}

// The exit status of one call: 0 only for result 0 with the device's acknowledgement.
int exitStatusOf(const CallReport& report, int result) {
  if (result != kResultOk) return kExitResult;
  if (report.nothingSent) return kExitNothingSent;
  // Result 0 with a NAK is a refusal a script must be able to tell from success.
  return refused(report, result) ? kExitRefused : kExitOk;
}

// "sent" and "reply" are the bytes on the line; where the link encrypts, the frames in the
// clear follow as "sentClear" and "replyClear". JSON gives a serial number as its label reads it.
// A batch line's expectation adds "expected" and "pass".
// `busyRetries`: the times the call went out again after BUSY ("busyRetries", when any).
void printResult(const MethodInfo& info, const InvokeResult& result, const CommandSet& set,
                 int busyRetries, bool json, QTextStream& out,
                 const std::optional<ExpectedResult>& expected = {}) {
  const TransactionOutcome& outcome = set.lastTransaction();
  const CallReport report = reportCall(set, result.result, info.asksDevice);
  const QString sent = outcome.frameSent ? bytesText(set.sentOnLine()) : QString();
  const QString reply = outcome.ran ? bytesText(set.replyOnLine()) : QString();
  const bool encrypted = set.encryption() && set.crcMode();
  const QString sentClear = outcome.frameSent ? bytesText(set.sentInClear()) : QString();
  const QString replyClear = outcome.ran ? bytesText(set.replyInClear()) : QString();
  const QString serial = result.result == kResultOk && outcome.frameSent
                             ? serialLabelOf(set.sentInClear(), set.replyInClear())
                             : QString();
  if (json) {
    QJsonObject object{{"method", info.name},
                       {"result", result.result},
                       {"status", report.status},
                       {"outputs", QJsonObject::fromVariantMap(result.outputs)},
                       {"acknowledged", report.acknowledged},
                       {"sent", sent},
                       {"reply", reply}};
    if (encrypted) {
      object.insert(QStringLiteral("sentClear"), sentClear);
      object.insert(QStringLiteral("replyClear"), replyClear);
    }
    if (!serial.isEmpty()) object.insert(QStringLiteral("serial"), serial);
    if (busyRetries > 0) object.insert(QStringLiteral("busyRetries"), busyRetries);
    if (expected) {
      object.insert(QStringLiteral("expected"), expected->text());
      object.insert(QStringLiteral("pass"), expectationMet(*expected, result.result, report));
    }
    out << QJsonDocument(object).toJson(QJsonDocument::Compact) << Qt::endl;
    return;
  }
  for (const ParamInfo& p : info.outputs()) {
    out << p.name << ": " << quennet::outputText(result.outputs.value(p.name)) << Qt::endl;
  }
  out << "result: " << result.result << " (" << report.status << ")" << Qt::endl;
  if (busyRetries > 0) out << "busy retries: " << busyRetries << Qt::endl;
  out << "sent: " << sent << Qt::endl;
  out << "reply: " << reply << Qt::endl;
  if (encrypted) {
    out << "sent clear: " << sentClear << Qt::endl;
    out << "reply clear: " << replyClear << Qt::endl;
  }
}

// Calls the method the options name on an open set, through the guard: BUSY retried, a reset
// device waited for. Bad arguments are usage errors.
InvokeResult invokeMethod(CommandSet& set, CallGuard& guard, const MethodInfo& info,
                          const CliOptions& options, const QStringList& inputs) {
  try {
    InvokeResult result;
    const std::optional<std::uint8_t> device =
        info.hasDevice() ? std::optional<std::uint8_t>(options.address) : std::nullopt;
    guard.run(set, device, [&] {
      result = info.invoker(set, QVariantList(inputs.begin(), inputs.end()));
      return result.result;
    });
    return result;
  } catch (const QuennetError& error) {
    throw UsageError(methodErrorText(info, error.description()));
  } catch (const MisuseError& error) {
    throw UsageError(error.message());
  }
}

const MethodInfo& methodNamed(const QString& name) {
  const MethodInfo* info = findMethod(name);
  if (!info) throw UsageError(QStringLiteral("unknown method %1 (see --list)").arg(name));
  return *info;
}

// One batch line: the batch's own options, then the line's words as they would follow them on
// a command line, so `--address 3 Dispense_Coins 2` overrides the address for that line only.
// Whether the line passed: it met what it expects, or, expecting nothing, its result was 0 and
// the device acknowledged it (as a single call's exit status tells). The first reply that shows
// whether the line echoes sets `echoLearnt` for the lines that do not say.
bool runBatchLine(CommandSet& set, CallGuard& guard, const QStringList& base,
                  const CliOptions& batch, std::optional<bool>& echoLearnt,
                  const BatchCommand& line, QTextStream& out) {
  const CliOptions options = parseArguments(base + line.words);
  if (options.port != batch.port) {
    throw UsageError(QStringLiteral("a batch line cannot change the port"));
  }
  if (options.help || options.list || options.version || options.method.isEmpty() ||
      options.method == kEventsCommand || options.method == kMonitorCommand ||
      options.method == kBatchCommand || options.method == kScanCommand) {
    throw UsageError(QStringLiteral("a batch line is a method and its arguments (see --list)"));
  }
  const MethodInfo& info = methodNamed(options.method);
  const QStringList inputs = methodInputs(info, options);
  applyLineOptions(set, guard, options, echoLearnt.value_or(true));
  const int missingBefore = set.statistics().missingEchoes;
  const InvokeResult result = invokeMethod(set, guard, info, options, inputs);
  if (!options.echo && !echoLearnt) echoLearnt = echoShown(set, missingBefore);
  printResult(info, result, set, guard.lastRetries(), true, out, line.expected);
  const CallReport report = reportCall(set, result.result, info.asksDevice);
  if (line.expected) return expectationMet(*line.expected, result.result, report);
  return exitStatusOf(report, result.result) == kExitOk;
}

// `quennet scan`: every device on the line, its framing and what it says it is.
int runScan(const CliOptions& options, CliStreams& streams) {
  CommandSet set;
  CallGuard guard;
  openLine(set, guard, options);
  const auto stopCall = closeOnStop(set, streams);
  std::optional<KeyDigits> key;
  if (options.keyCode) key = keyDigitsFromCode(*options.keyCode);
  const std::vector<FoundDevice> found = scanBus(set, key);
  if (streams.stop && streams.stop->fired()) return interrupted(streams);
  QJsonArray devices;
  for (const FoundDevice& device : found) {
    const QJsonObject object{{"address", device.address},   {"mode", framingName(device.framing)},
                             {"category", device.category}, {"manufacturer", device.manufacturer},
                             {"product", device.product},   {"serial", device.serial}};
    if (options.json) {
      devices.append(object);
      continue;
    }
    streams.out << QStringLiteral(
                       "address: %1  mode: %2  category: %3  manufacturer: %4  "
                       "product: %5  serial: %6")
                       .arg(device.address)
                       .arg(framingName(device.framing), device.category, device.manufacturer,
                            device.product, device.serial)
                << Qt::endl;
  }
  if (options.json)
    streams.out << QJsonDocument(devices).toJson(QJsonDocument::Compact) << Qt::endl;
  if (found.empty()) {
    streams.err << "quennet: no device answered the address poll" << Qt::endl;
    return kExitResult;
  }
  return kExitOk;
}

// `quennet batch`: the port opened once, then one command per input line and one JSON object
// per output line, in order, until the input ends. A bad line answers {"line":N,"error":...}
// and the batch goes on.
int runBatch(const QStringList& arguments, const CliOptions& options, CliStreams& streams) {
  if (!options.args.isEmpty()) {
    throw UsageError(QStringLiteral("batch reads its commands from standard input, one a line"));
  }
  if (!streams.readLine) throw UsageError(QStringLiteral("batch needs an input"));
  // Options come before the method, and batch takes no arguments: it is the last word.
  const QStringList base = arguments.mid(0, arguments.size() - 1);
  CommandSet set;
  CallGuard guard;  // one for the batch: a reset on one line is waited for on the next
  openLine(set, guard, options);
  std::optional<bool> echoLearnt = options.echo;
  const auto stopCall = closeOnStop(set, streams);
  int status = kExitOk;
  int number = 0;
  // An answer that cannot be written stops the batch before the next line reaches the device.
  while (!outputFailed(streams)) {
    const std::optional<BatchLine> line = streams.readLine();
    if (!line || (streams.stop && streams.stop->fired())) break;
    ++number;
    const BatchCommand command = parseBatchCommand(line->text);
    if (line->error.isEmpty() && command.error.isEmpty() && command.words.isEmpty()) continue;
    try {
      if (!line->error.isEmpty()) throw UsageError(line->error);
      if (!command.error.isEmpty()) throw UsageError(command.error);
      if (!runBatchLine(set, guard, base, options, echoLearnt, command, streams.out)) {
        status = kExitResult;
      }
    } catch (const UsageError& error) {
      const QJsonObject object{{"line", number}, {"error", error.message()}};
      streams.out << QJsonDocument(object).toJson(QJsonDocument::Compact) << Qt::endl;
      status = kExitResult;
    }
  }
  if (streams.stop && streams.stop->fired()) return interrupted(streams);
  return status;
}

int run(const QStringList& arguments, CliStreams& streams) {
  const CliOptions options = parseArguments(arguments);
  if (options.help) {
    streams.out << helpText();
    return kExitOk;
  }
  if (options.version) {
    streams.out << "quennet " << QUENNET_VERSION_STR << Qt::endl;
    return kExitOk;
  }
  if (options.list) {
    printList(options.json, streams.out);
    return kExitOk;
  }
  if (options.method.isEmpty()) throw UsageError(QStringLiteral("no method given (see --help)"));

  if (options.method == kMonitorCommand) {
    const int status =
        runMonitor({options.port, options.input, options.crc, options.json}, streams);
    return streams.stop && streams.stop->fired() ? interrupted(streams) : status;
  }
  if (options.method == kEventsCommand) {
    BusClient bus;
    openBus(bus, options);
    const int status = watchEvents(bus, options, streams);
    return streams.stop && streams.stop->fired() ? interrupted(streams) : status;
  }
  if (options.method == kBatchCommand) return runBatch(arguments, options, streams);
  if (options.method == kScanCommand) return runScan(options, streams);
  CommandSet set;
  CallGuard guard;
  const MethodInfo& info = methodNamed(options.method);
  const QStringList inputs = methodInputs(info, options);
  openLine(set, guard, options);
  const auto stopCall = closeOnStop(set, streams);
  const InvokeResult result = invokeMethod(set, guard, info, options, inputs);
  if (streams.stop && streams.stop->fired()) return interrupted(streams);
  printResult(info, result, set, guard.lastRetries(), options.json, streams.out);
  return exitStatusOf(reportCall(set, result.result, info.asksDevice), result.result);
}

}  // namespace

bool outputFailed(CliStreams& streams) {
  streams.out.flush();
  return streams.out.status() == QTextStream::WriteFailed;
}

int runCli(const QStringList& arguments, CliStreams& streams) {
  int status = kExitOk;
  try {
    status = run(arguments, streams);
  } catch (const UsageError& error) {
    streams.err << "quennet: " << error.message() << Qt::endl;
    status = kExitUsage;
  }
  if (outputFailed(streams)) {
    streams.err << "quennet: standard output cannot be written; stopped" << Qt::endl;
    return kExitOutput;
  }
  return status;
}

}  // namespace quennet::cli
