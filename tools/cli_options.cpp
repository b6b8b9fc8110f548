#include "tools/cli_options.h"

#include "quennet/commands/command_set.h"
#include "quennet/link/link_engine.h"
#include "quennet/link/protocol.h"

namespace quennet::cli {

namespace {

constexpr int kLargestHopperCode = 0xFFFFFF;

int parseNumber(const QString& option, const QString& text, int low, int high) {
  bool ok = false;
  const int value = text.toInt(&ok, 10);
  if (!ok || value < low || value > high) {
    throw UsageError(QStringLiteral("%1 needs a number from %2 to %3, not '%4'")
                         .arg(option)
                         .arg(low)
                         .arg(high)
                         .arg(text));
  }
  return value;
}

std::uint8_t routeCode(const QString& name) {
  if (name == u"stack") return kRouteStack;
  if (name == u"return") return kRouteReturn;
  if (name == u"hold") return kRouteHold;
  throw UsageError(QStringLiteral("--route needs stack, return or hold, not '%1'").arg(name));
}

// Where an option may stand: before the method, or after the word events, monitor or scan.
enum Place : unsigned { Leading = 1, Events = 2, Monitor = 4, Scan = 8 };

struct Option {
  const char* name;
  unsigned places;  // Place bits
  bool takesValue;
  // Reads the option into `o`; a value it cannot take is a usage error naming `name`.
  void (*apply)(CliOptions& o, const QString& name, const QString& value);
};

// Every option of the tool, once: where it may stand, whether it takes a value, and what it sets
// after checking that value.
constexpr Option kOptions[] = {
    {"--port", Leading | Monitor, true,
     [](CliOptions& o, const QString&, const QString& value) { o.port = value; }},
    {"--address", Leading, true,
     [](CliOptions& o, const QString& name, const QString& value) {
       o.address = static_cast<std::uint8_t>(parseNumber(name, value, 0, 255));
     }},
    {"--crc", Leading | Monitor, false,
     [](CliOptions& o, const QString&, const QString&) { o.crc = true; }},
    {"--checksum8", Leading | Monitor, false,
     [](CliOptions& o, const QString&, const QString&) { o.crc = false; }},
    {"--echo", Leading, false,
     [](CliOptions& o, const QString&, const QString&) { o.echo = true; }},
    {"--no-echo", Leading, false,
     [](CliOptions& o, const QString&, const QString&) { o.echo = false; }},
    {"--key", Leading, true,
     [](CliOptions& o, const QString&, const QString& value) { o.keyCode = packKeyDigits(value); }},
    {"--hopper-code", Leading, true,
     [](CliOptions& o, const QString& name, const QString& value) {
       o.hopperCode = parseNumber(name, value, 0, kLargestHopperCode);
     }},
    {"--repeat-guard", Leading, true,
     [](CliOptions& o, const QString& name, const QString& value) {
       o.repeatGuardMs = parseNumber(name, value, 0, 1000);
     }},
    {"--busy-retries", Leading, true,
     [](CliOptions& o, const QString& name, const QString& value) {
       o.busyRetries = parseNumber(name, value, 0, kMaxBusyRetries);
     }},
    {"--busy-pause", Leading, true,
     [](CliOptions& o, const QString& name, const QString& value) {
       o.busyPauseMs = parseNumber(name, value, 0, kMaxBusyPauseMs);
     }},
    {"--reset-wait", Leading, true,
     [](CliOptions& o, const QString& name, const QString& value) {
       o.resetWaitMs = parseNumber(name, value, 0, kMaxResetWaitMs);
     }},
    {"--json", Leading | Events | Monitor | Scan, false,
     [](CliOptions& o, const QString&, const QString&) { o.json = true; }},
    {"--list", Leading, false,
     [](CliOptions& o, const QString&, const QString&) { o.list = true; }},
    {"--help", Leading, false,
     [](CliOptions& o, const QString&, const QString&) { o.help = true; }},
    {"-h", Leading, false, [](CliOptions& o, const QString&, const QString&) { o.help = true; }},
    {"--version", Leading, false,
     [](CliOptions& o, const QString&, const QString&) { o.version = true; }},
    {"--interval", Events, true,
     [](CliOptions& o, const QString& name, const QString& value) {
       o.intervalMs = parseNumber(name, value, 10, 3600000);
     }},
    {"--route", Events, true,
     [](CliOptions& o, const QString&, const QString& value) { o.route = routeCode(value); }},
    {"--inhibits", Events, true,
     [](CliOptions& o, const QString& name, const QString& value) {
       const QStringList parts = value.split(u',');
       if (parts.size() != 2) throw UsageError(QStringLiteral("--inhibits needs LOW,HIGH"));
       for (const QString& part : parts) parseNumber(name, part, 0, 255);
       o.inhibits = value;
     }},
    {"--from-start", Events, false,
     [](CliOptions& o, const QString&, const QString&) { o.fromStart = true; }},
    {"--input", Monitor, true,
     [](CliOptions& o, const QString&, const QString& value) { o.input = value; }},
};

// The words that take options of their own after them, and what is said of a word they do not
// take.
struct CommandPlace {
  const QString* command;
  Place place;
  const char* refusal;  // %1: the word
};
const CommandPlace kCommandPlaces[] = {
    {&kEventsCommand, Events,
     "events takes --interval MS, --route stack|return|hold, --inhibits LOW,HIGH, --from-start "
     "and --json, not '%1'"},
    {&kMonitorCommand, Monitor,
     "monitor takes --port, --input, --json, --crc or --checksum8, not '%1'"},
    {&kScanCommand, Scan, "scan takes --json, not '%1'"},
};

const Option* findOption(const QString& word, Place place) {
  for (const Option& option : kOptions) {
    if ((option.places & place) != 0 && word == QLatin1String(option.name)) return &option;
  }
  return nullptr;
}

// Reads the options in `words` from `from` that `place` accepts, into `options`. Before the
// method the first word that is not an option ends them (its index is returned); after a
// command word every word must be one of its options.
int readOptions(const QStringList& words, int from, const CommandPlace* command,
                CliOptions& options) {
  const Place place = command ? command->place : Leading;
  int i = from;
  for (; i < words.size(); ++i) {
    const QString& word = words[i];
    const Option* option = findOption(word, place);
    if (!option) {
      if (command) throw UsageError(QString::fromLatin1(command->refusal).arg(word));
      if (word.startsWith(u"--")) throw UsageError(QStringLiteral("unknown option ") + word);
      break;
    }
    QString value;
    if (option->takesValue) {
      if (i + 1 >= words.size()) throw UsageError(word + QStringLiteral(" needs a value"));
      value = words[++i];
    }
    option->apply(options, word, value);
  }
  return i;
}

}  // namespace

CliOptions parseArguments(const QStringList& arguments) {
  CliOptions options;
  // Options come first; the first other word is the method and the rest are its arguments.
  int i = readOptions(arguments, 0, nullptr, options);
  if (i < arguments.size()) {
    options.method = arguments[i++];
    options.args = arguments.mid(i);
  }
  if (options.keyCode && !options.crc) {
    throw UsageError(
        QStringLiteral("--key needs CRC frames: encryption does not work with --checksum8"));
  }
  // events, monitor and scan take options of their own after the word; `quennet monitor --port
  // P`: the line options may also follow it.
  for (const CommandPlace& command : kCommandPlaces) {
    if (options.method != *command.command) continue;
    const QStringList rest = options.args;
    options.args.clear();
    readOptions(rest, 0, &command, options);
  }
  return options;
}

QString helpText() {
  return QStringLiteral(
             "Usage:\n"
             "  quennet --port PATH [OPTIONS] METHOD [ARG...]   run one command method\n"
             "  quennet --port PATH [OPTIONS] events [--interval MS] [--route stack|return|hold]\n"
             "                                [--inhibits LOW,HIGH] [--from-start]\n"
             "                                                  print each new event of a bill\n"
             "                                                  validator or coin acceptor\n"
             "  quennet --port PATH [OPTIONS] batch             one command a line on standard "
             "input\n"
             "  quennet --port PATH [OPTIONS] scan [--json]     find every device and its "
             "framing\n"
             "  quennet monitor --port PATH [--checksum8] [--json]\n"
             "  quennet monitor --input FILE [--checksum8] [--json]\n"
             "                                                  decode a line another host drives\n"
             "  quennet --list [--json]                         list every method and its "
             "parameters\n"
             "  quennet --help                                  show this text\n"
             "  quennet --version                               print the version\n"
             "\n"
             "Options:\n"
             "  --port PATH        serial device (/dev/ttyUSB0, a pseudo-terminal); 9600,n,8,1\n"
             "  --address N        device address, 0 to 255 (default %2)\n"
             "  --crc              16-bit CRC frames (default)\n"
             "  --checksum8        8-bit additive checksum frames\n"
             "  --echo             the line echoes every sent byte (the default)\n"
             "  --no-echo          the line does not echo; without it a whole reply that comes\n"
             "                     without the echo is taken all the same, and its status says\n"
             "                     \"no echo on this line\"\n"
             "  --key DIGITS       encrypt with this six-digit key (CRC frames only)\n"
             "  --hopper-code N    the hopper's security code, 0 to 16777215 (default %3)\n"
             "  --repeat-guard MS  quiet the line keeps after a good reply before the next frame,\n"
             "                     0 to 1000 (default %1: none), for devices that answer twice\n"
             "  --busy-retries N   send a call answered BUSY again, up to N times, 0 to %7\n"
             "                     (default 0: BUSY is the result, -1); each retry is a frame\n"
             "  --busy-pause MS    pause before each BUSY retry, 0 to %8 (default %9)\n"
             "  --reset-wait MS    batch and events: after a device acknowledges ResetDevice,\n"
             "                     poll it until it answers, up to MS (0 to %10, default %11; 0: "
             "no\n"
             "                     wait), before its next command\n"
             "  --json             one JSON object (events: one per line)\n"
             "\n"
             "METHOD is a command method name as --list shows it, such as SendPoll or "
             "GetSerialNo.\n"
             "ARGs are its input parameters after Device, in order: numbers in decimal, byte "
             "arrays\n"
             "as comma-separated decimals (SetInhibitStatus 255,255), text as given; an array or\n"
             "text takes at most what --list shows in brackets (ByteArray[2], Text[2]). The "
             "device\n"
             "address comes from --address.\n"
             "\n"
             "Output: each output parameter, the result code with its status text, and the "
             "command\n"
             "and reply frames in hexadecimal. With --json: an object with the keys method, "
             "result,\n"
             "status, outputs, acknowledged, sent and reply (and busyRetries after a BUSY retry);\n"
             "byte arrays are arrays of numbers. A\n"
             "byte array holds the bytes the device sent, no padding.\n"
             "\n"
             "On the line: a call sends its method's frame and nothing else (no poll to learn the\n"
             "echo), batch one frame for each line it runs, events its enable, inhibits, reads "
             "and\n"
             "routes; monitor sends nothing. An input the method refuses (a wrong count, a number\n"
             "out of range, more values than it sends, a note number above %5, a key too short)\n"
             "is a usage error before the port is opened. ModifyBillID sends nothing and says so\n"
             "(status \"Nothing sent: no device was asked\", \"acknowledged\":false).\n"
             "\n"
             "batch opens the port once and reads one command a line from standard input, in the\n"
             "words of a command line after the options: `GetSerialNo`, `SetInhibitStatus "
             "255,255`,\n"
             "`--address 3 Dispense_Coins 2` (line options apply to that line only; the port "
             "stays).\n"
             "It answers each line with one JSON object on one line, as --json prints it, in "
             "order,\n"
             "until the input ends; empty lines are skipped, and so is a comment: the rest of a\n"
             "line from a word that starts with #. A comment `# expect ack`, `# expect nak` or\n"
             "`# expect N` says what the line expects (acknowledged, refused, result code N): its\n"
             "answer adds \"expected\" and \"pass\"; any other comment that begins with expect\n"
             "(`# expect: nak`, `#expect=nak`) is an error line, and so is a quote left open.\n"
             "Without --echo or --no-echo the first reply that shows whether the line echoes\n"
             "sets it for the lines after. A line it cannot run answers\n"
             "{\"line\":N,\"error\":\"...\"} (N counts input lines from 1) and the batch goes on:\n"
             "so does a line longer than 64 KiB, and a last line without its newline, which is\n"
             "never sent.\n"
             "\n"
             "scan sends an address poll in each framing (CRC-16, CRC-16 encrypted with --key\n"
             "when given, the 8-bit checksum), then tries each device that answered in those\n"
             "framings, in that order, until it answers a poll, and reads its category,\n"
             "manufacturer, product code and serial number. One line a device, in address order:\n"
             "address, mode (crc16, encrypted, checksum8; unknown when it answered only the\n"
             "address poll), category, manufacturer, product and serial, each labelled; --json\n"
             "prints one array of objects with those keys. Exit status 1 when no device\n"
             "answered.\n"
             "\n"
             "events enables the validator (master inhibit off), reads its event counter, then "
             "reads\n"
             "its event buffer every MS milliseconds (default %4) and prints each event that "
             "happened\n"
             "since, one line each, until interrupted. --from-start also prints the events the "
             "buffer\n"
             "held at start. More events between two reads than the buffer keeps are reported as "
             "lost\n"
             "(stderr; with --json also {\"lost\":N}). --route stacks, returns or holds every "
             "note\n"
             "that reaches escrow. Failed reads print no event; three in a row are reported on "
             "stderr\n"
             "(with --json also {\"deviceLost\":true}, and {\"deviceBack\":true} at the next "
             "good read).\n"
             "--inhibits sets the note inhibits (SetInhibitStatus LOW,HIGH) after the enable. A "
             "reset\n"
             "of the validator (its counter back at 0, or one that went back over an emptied "
             "buffer\n"
             "and a validator with every note inhibited) prints one reset line\n"
             "({\"reset\":true,\"counter\":N}), then the events since, and sends the enable and "
             "the\n"
             "inhibits again. A read whose counter moved but whose events did not move with it "
             "prints\n"
             "no event (stderr; with --json {\"inconsistent\":true}) and is read again.\n"
             "\n"
             "monitor only listens: it splits the bytes on the line into frames (by the length "
             "byte,\n"
             "the checksum and the %6 ms gap), pairs each reply with the host frame it answers "
             "and\n"
             "prints one line per frame: time, direction, destination, source (or CRC), header "
             "and\n"
             "its name, data, status and the raw bytes. Bytes that form no frame are printed as\n"
             "garbage or an incomplete frame. --json prints one object per line with the keys "
             "time,\n"
             "dir, dest, src, header, name, data and ok. --input reads a capture that\n"
             "`bnvsim --capture FILE` wrote, or a file of raw bytes, instead of a port. On a port\n"
             "it runs until interrupted; a file is decoded to its end, unless Ctrl-C or SIGTERM\n"
             "(130, 143) or a write to standard output that fails (4) stops it first.\n"
             "\n"
             "Exit status: 0 when the result is 0 and the device acknowledged, 1 for any other\n"
             "result, 2 for a usage error (unknown method, wrong argument count, bad argument, "
             "port\n"
             "that cannot be opened or is busy), 3 when the device refused (result 0 with a NAK, "
             "or a\n"
             "route or stacker cycle answered 254 or 255; \"acknowledged\":false in --json), 130\n"
             "or 143 after Ctrl-C or SIGTERM (the call ends at once, the port closed), 4 when\n"
             "standard output cannot be written (the run stops there, nothing more is sent), 5\n"
             "when the method sent nothing (ModifyBillID: result 0, but no device was asked). A\n"
             "batch exits 0 when every line met what it expects or, expecting nothing, gave\n"
             "result 0 and was acknowledged (\"acknowledged\"), 1 otherwise.\n")
      .arg(LinkEngine::kRepeatGuardMs)
      .arg(kValidatorAddress)
      .arg(CommandSet::kDefaultHopperCode)
      .arg(kDefaultPollIntervalMs)
      .arg(kPositionCount)
      .arg(kInterByteGapMs)
      .arg(kMaxBusyRetries)
      .arg(kMaxBusyPauseMs)
      .arg(CallGuardSettings{}.busyPauseMs)
      .arg(kMaxResetWaitMs)
      .arg(kDefaultResetWaitMs);
}

}  // namespace quennet::cli
