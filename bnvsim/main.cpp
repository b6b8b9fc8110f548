// bnvsim: serves the virtual bank note validator on a pseudo-terminal until signalled.
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdio>
#include <string_view>

#include <QCommandLineParser>
#include <QCoreApplication>

#include "bnvsim/console.h"
#include "bnvsim/line_reader.h"
#include "bnvsim/pty_link.h"
#include "bnvsim/simulator.h"
#include "quennet/link/protocol_events.h"
#include "quennet/quennet_version.h"

namespace {

struct Invocation {
  bnvsim::SimulatorOptions options;
  QString link;
  QList<QPair<bnvsim::Fault, double>> probabilities;
  QList<QPair<int, int>> busyReplies;    // address, commands answered BUSY
  QList<QPair<int, int>> resetSilences;  // address, quiet after a reset in ms
};

// "ADDRESS" or "ADDRESS=VALUE" with ADDRESS in 2..255 and VALUE in 0..`most`; `fallback` when
// the value is left out (-1: it may not be).
std::optional<QPair<int, int>> addressValue(const QString& text, int most, int fallback) {
  bool addressOk = false;
  bool valueOk = true;
  const int address = text.section(QLatin1Char('='), 0, 0).toInt(&addressOk);
  const int value = text.contains(QLatin1Char('='))
                        ? text.section(QLatin1Char('='), 1).toInt(&valueOk)
                        : fallback;
  if (!addressOk || !valueOk || address < 2 || address > 255 || value < 0 || value > most) {
    return std::nullopt;
  }
  return QPair<int, int>{address, value};
}

[[noreturn]] void fail(const QString& message) {
  std::fprintf(stderr, "bnvsim: %s\n", qPrintable(message));
  std::exit(2);
}

int milliseconds(const QString& name, const QString& value) {
  const auto ms = bnvsim::millisecondsFromText(value, bnvsim::kMaxSettingMs);
  if (!ms)
    fail(QStringLiteral("--%1 wants milliseconds, 0..%2").arg(name).arg(bnvsim::kMaxSettingMs));
  return *ms;
}

void setDevice(Invocation& run, const QString& argument) {
  const QString role = argument.section(QLatin1Char('='), 0, 0);
  std::optional<bnvsim::Framing> framing;
  if (argument.contains(QLatin1Char('='))) {
    framing = bnvsim::framingFromText(argument.section(QLatin1Char('='), 1));
    if (!framing) {
      fail(QStringLiteral("--device wants MODE crc16, checksum8, encrypted or "
                          "encrypted:DIGITS, got ") +
           argument);
    }
  }
  if (role == QLatin1String("validator")) {
    run.options.validatorFraming = framing;
  } else if (role == QLatin1String("coin-acceptor")) {
    run.options.coinAcceptor = true;
    run.options.coinAcceptorFraming = framing;
  } else if (role == QLatin1String("hopper")) {
    run.options.hopper = true;
    run.options.hopperFraming = framing;
  } else {
    fail(QStringLiteral("--device wants ROLE validator, coin-acceptor or hopper, got ") + argument);
  }
}

void setScaling(Invocation& run, const QString& value) {
  const QStringList scale = value.split(QLatin1Char(','));
  bool factorOk = false;
  bool decimalsOk = false;
  bnvsim::Scaling& scaling = run.options.scaling;
  if (scale.size() == 2) {
    scaling.factor = scale[0].toInt(&factorOk);
    scaling.decimals = scale[1].toInt(&decimalsOk);
  }
  if (!factorOk || !decimalsOk || scaling.factor < 1 || scaling.factor > 0xFFFF ||
      scaling.decimals < 0 || scaling.decimals > 0xFF) {
    fail(QStringLiteral("--scaling wants FACTOR,DECIMALS: 1..65535 and 0..255"));
  }
}

QString defaultAddress() {
  return QString::number(quennet::kValidatorAddress);
}
QString defaultKey() {
  return bnvsim::LineOptions{}.key;
}
QString defaultEscrowHold() {
  return QString::number(bnvsim::kDefaultEscrowHoldMs);
}
QString defaultScaling() {
  return QStringLiteral("%1,%2").arg(bnvsim::Scaling{}.factor).arg(bnvsim::Scaling{}.decimals);
}

enum Times : bool { Once = false, Repeatable = true };

struct Option {
  const char* name;
  const char* valueName;  // empty: a switch
  const char* help;       // %1: what `fill` gives
  QString (*fill)();
  QString (*byDefault)();  // the value taken when the option is not given; null: none
  Times times;             // Once: the last value given counts
  // Takes one value (a switch: called when given), checked here; exits on a value it cannot use.
  void (*apply)(Invocation& run, const QString& name, const QString& value);
};

// Every option of the program, once: its help, its default and what it sets, in the order the
// help lists them and the values are taken.
const Option kOptions[] = {
    {"link", "PATH",
     "Also make a symbolic link to the terminal at PATH. Replaces only a symbolic link there; "
     "removed at exit if it still points to this terminal.",
     nullptr, nullptr, Once,
     [](Invocation& run, const QString&, const QString& value) { run.link = value; }},
    {"address", "N", "Validator address (2..255, default %1).", defaultAddress, defaultAddress,
     Once,
     [](Invocation& run, const QString&, const QString& value) {
       bool ok = false;
       run.options.validatorAddress = value.toInt(&ok);
       if (!ok || run.options.validatorAddress < 2 || run.options.validatorAddress > 255) {
         fail(QStringLiteral("--address wants 2..255"));
       }
     }},
    {"no-echo", "", "Do not echo the host's bytes (separate RX/TX).", nullptr, nullptr, Once,
     [](Invocation& run, const QString&, const QString&) { run.options.line.echo = false; }},
    {"checksum8", "", "8-bit checksum instead of CRC-16.", nullptr, nullptr, Once,
     [](Invocation& run, const QString&, const QString&) { run.options.line.crc = false; }},
    {"encrypt", "", "Encryption layer on (CRC mode only).", nullptr, nullptr, Once,
     [](Invocation& run, const QString&, const QString&) { run.options.line.encryption = true; }},
    {"key", "DIGITS", "Six-digit encryption key (default %1).", defaultKey, defaultKey, Once,
     [](Invocation& run, const QString&, const QString& value) {
       if (!bnvsim::validKeyText(value)) fail(QStringLiteral("--key wants six decimal digits"));
       run.options.line.key = value;
     }},
    {"pacing", "", "Send every byte at 9600 baud 8N1 timing.", nullptr, nullptr, Once,
     [](Invocation& run, const QString&, const QString&) { run.options.line.pacing = true; }},
    {"reply-delay", "MS", "Wait MS milliseconds before each reply.", nullptr,
     [] { return QStringLiteral("0"); }, Once,
     [](Invocation& run, const QString& name, const QString& value) {
       run.options.line.replyDelayMs = milliseconds(name, value);
     }},
    {"escrow-timeout", "MS",
     "Return a note held in escrow after MS milliseconds without a route request (default %1; "
     "0 holds it until routed).",
     defaultEscrowHold, defaultEscrowHold, Once,
     [](Invocation& run, const QString& name, const QString& value) {
       run.options.escrowHoldMs = milliseconds(name, value);
     }},
    {"scaling", "FACTOR,DECIMALS",
     "Scaling factor (1..65535) and decimal places (0..255) the validator gives for its notes "
     "(default %1: the table's values are whole units).",
     defaultScaling, defaultScaling, Once,
     [](Invocation& run, const QString&, const QString& value) { setScaling(run, value); }},
    {"hopper", "", "Add a coin hopper at address %1 (as --device hopper).",
     [] { return QString::number(quennet::kHopperAddress); }, nullptr, Once,
     [](Invocation& run, const QString&, const QString&) { run.options.hopper = true; }},
    {"hopper-rate", "N",
     "Coins the hopper pays a second, %1; 0 pays every coin within the dispense command.",
     [] {
       return QStringLiteral("0..%1 (default %2)")
           .arg(bnvsim::kMaxHopperRate)
           .arg(bnvsim::kDefaultHopperRate);
     },
     [] { return QString::number(bnvsim::kDefaultHopperRate); }, Once,
     [](Invocation& run, const QString&, const QString& value) {
       bool ok = false;
       run.options.hopperRate = value.toInt(&ok);
       if (!ok || run.options.hopperRate < 0 || run.options.hopperRate > bnvsim::kMaxHopperRate) {
         fail(QStringLiteral("--hopper-rate wants coins a second, 0..%1")
                  .arg(bnvsim::kMaxHopperRate));
       }
     }},
    {"hopper-code", "CODE",
     "The security code the hopper takes with a dispense: a number 0..16777215 (default %1) or "
     "\"serial\", its own serial number.",
     [] { return QString::number(bnvsim::kDefaultHopperCode); },
     [] { return QString::number(bnvsim::kDefaultHopperCode); }, Once,
     [](Invocation& run, const QString&, const QString& value) {
       run.options.hopperSerialCode = value == QLatin1String("serial");
       if (run.options.hopperSerialCode) return;
       bool ok = false;
       run.options.hopperCode = value.toUInt(&ok);
       if (!ok || run.options.hopperCode > 0xFFFFFF) {
         fail(QStringLiteral("--hopper-code wants 0..16777215 or serial"));
       }
     }},
    {"coin-acceptor", "", "Add a coin acceptor at address %1 (as --device coin-acceptor).",
     [] { return QString::number(quennet::kCoinAcceptorAddress); }, nullptr, Once,
     [](Invocation& run, const QString&, const QString&) { run.options.coinAcceptor = true; }},
    {"device", "ROLE[=MODE]",
     "A device with a framing of its own; repeatable. ROLE: validator, coin-acceptor (address "
     "2) or hopper (address 3), added when not there. MODE: crc16, checksum8, encrypted (CRC-16, "
     "default key) or encrypted:DIGITS. Without MODE the device follows --checksum8, --encrypt "
     "and --key, which set the line's framing. A kiosk: --device validator=encrypted:123456 "
     "--device coin-acceptor=checksum8 --device hopper=checksum8.",
     nullptr, nullptr, Repeatable,
     [](Invocation& run, const QString&, const QString& value) { setDevice(run, value); }},
    {"busy", "ADDRESS=N", "The device at ADDRESS answers BUSY to its next N commands; repeatable.",
     nullptr, nullptr, Repeatable,
     [](Invocation& run, const QString&, const QString& value) {
       const auto pair = addressValue(value, bnvsim::kMaxQueuedFaults, -1);
       if (!pair) fail(QStringLiteral("--busy wants ADDRESS=N: 2..255 and 0..1000, got ") + value);
       run.busyReplies.append(*pair);
     }},
    {"slow-reset", "ADDRESS[=MS]",
     "The device at ADDRESS acknowledges a reset, then is silent for MS milliseconds (default "
     "%1) as it comes back; repeatable.",
     [] { return QString::number(bnvsim::kDefaultResetSilenceMs); }, nullptr, Repeatable,
     [](Invocation& run, const QString&, const QString& value) {
       const auto pair = addressValue(value, bnvsim::kMaxSettingMs, bnvsim::kDefaultResetSilenceMs);
       if (!pair) {
         fail(QStringLiteral("--slow-reset wants ADDRESS[=MS]: 2..255 and 0..%1, got ")
                  .arg(bnvsim::kMaxSettingMs) +
              value);
       }
       run.resetSilences.append(*pair);
     }},
    {"no-stacker", "", "Validator without a stacker.", nullptr, nullptr, Once,
     [](Invocation& run, const QString&, const QString&) { run.options.stackerFitted = false; }},
    {"fault", "KIND=P", "Spoil replies at random: KIND=P with P in 0..1; repeatable. KIND: %1.",
     bnvsim::faultNameList, nullptr, Repeatable,
     [](Invocation& run, const QString&, const QString& value) {
       const auto kind = bnvsim::faultFromName(value.section(QLatin1Char('='), 0, 0));
       const auto p = bnvsim::probabilityFromText(value.section(QLatin1Char('='), 1));
       if (!kind || !p) fail(QStringLiteral("--fault wants KIND=P with P in 0..1, got ") + value);
       run.probabilities.append({*kind, *p});
     }},
    {"trace", "",
     "Every frame on the line to standard error, decoded as `quennet monitor` prints it: time, "
     "direction, fields, header name, status, raw bytes.",
     nullptr, nullptr, Once,
     [](Invocation& run, const QString&, const QString&) { run.options.trace = true; }},
    {"capture", "FILE",
     "Write every byte on the line, both directions with time stamps, to FILE (`quennet monitor "
     "--input FILE` decodes it).",
     nullptr, nullptr, Once,
     [](Invocation& run, const QString&, const QString& value) {
       run.options.capturePath = value;
     }},
};

Invocation parse(const QCoreApplication& app) {
  QCommandLineParser parser;
  parser.setApplicationDescription(
      QStringLiteral("Virtual ccTalk bank note validator on a pseudo-terminal.\n"
                     "Prints the terminal's path on its first line; a host opens that path as "
                     "its serial port.\nCommands typed on standard input drive the devices "
                     "(type help). Stops on SIGINT or SIGTERM, or at the end of input from a "
                     "terminal.\n\nConsole commands:\n") +
      bnvsim::Console::help());
  parser.addHelpOption();
  parser.addVersionOption();
  QList<QCommandLineOption> declared;
  for (const Option& option : kOptions) {
    QString help = QString::fromUtf8(option.help);
    if (option.fill) help = help.arg(option.fill());
    declared.append(QCommandLineOption(QString::fromLatin1(option.name), help,
                                       QString::fromLatin1(option.valueName),
                                       option.byDefault ? option.byDefault() : QString()));
  }
  parser.addOptions(declared);
  parser.process(app);

  Invocation run;
  for (qsizetype i = 0; i < declared.size(); ++i) {
    const Option& option = kOptions[i];
    const QCommandLineOption& given = declared[i];
    const QString name = QString::fromLatin1(option.name);
    if (option.valueName[0] == '\0') {
      if (parser.isSet(given)) option.apply(run, name, {});
    } else if (option.times == Repeatable) {
      for (const QString& value : parser.values(given)) option.apply(run, name, value);
    } else if (parser.isSet(given) || option.byDefault) {
      option.apply(run, name, parser.value(given));
    }
  }
  return run;
}

void say(const QString& text) {
  if (text.isEmpty()) return;
  std::printf("%s\n", qPrintable(text));
  std::fflush(stdout);
}

// Serves until a signal, `quit`, or the end of input from a terminal. Input that is not a
// terminal (a pipe, /dev/null) may end while the host still needs the device.
void runConsole(bnvsim::Simulator& simulator, int signalFd) {
  bnvsim::Console console(simulator);
  const bool interactive = isatty(STDIN_FILENO) != 0;
  bool inputOpen = true;
  bnvsim::LineReader lines;
  while (!console.quitRequested()) {
    pollfd fds[2] = {{signalFd, POLLIN, 0}, {inputOpen ? STDIN_FILENO : -1, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) continue;
    if (fds[0].revents != 0) return;
    if (fds[1].revents == 0) continue;
    char chunk[256];
    const ssize_t count = read(STDIN_FILENO, chunk, sizeof chunk);
    if (count <= 0) {
      if (interactive) return;
      inputOpen = false;
      continue;
    }
    for (const auto& piece : lines.feed(std::string_view(chunk, static_cast<std::size_t>(count)))) {
      if (piece.tooLong) {
        say(QStringLiteral("line too long (over %1 characters), discarded")
                .arg(bnvsim::LineReader::kMaxLineLength));
      } else {
        say(console.execute(QString::fromLocal8Bit(piece.line)));
      }
      if (console.quitRequested()) return;
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  QCoreApplication::setApplicationName(QStringLiteral("bnvsim"));
  QCoreApplication::setApplicationVersion(QStringLiteral(QUENNET_VERSION_STR));
  const Invocation run = parse(app);

  // Blocked before the serving thread starts, so only the signal descriptor sees them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  const int signalFd = signalfd(-1, &stopSignals, SFD_CLOEXEC);

  bnvsim::Simulator simulator(run.options);
  for (const auto& [kind, p] : run.probabilities) simulator.setFaultProbability(kind, p);
  for (const auto& [address, count] : run.busyReplies) {
    if (!simulator.setBusyReplies(address, count)) {
      fail(QStringLiteral("--busy: no device at address %1").arg(address));
    }
  }
  for (const auto& [address, ms] : run.resetSilences) {
    if (!simulator.setResetSilence(address, ms)) {
      fail(QStringLiteral("--slow-reset: no device at address %1").arg(address));
    }
  }
  QString error;
  if (!simulator.start(&error)) fail(error);
  bnvsim::PtyLink link;
  if (!run.link.isEmpty() && !link.create(run.link, simulator.slavePath(), &error)) fail(error);
  // A launcher reads this line and opens the device at once, so the link must exist by then.
  say(simulator.slavePath());

  runConsole(simulator, signalFd);

  simulator.stop();
  link.remove();
  close(signalFd);
  return 0;
}
