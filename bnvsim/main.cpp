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
  const QCommandLineOption link(
      QStringLiteral("link"),
      QStringLiteral("Also make a symbolic link to the terminal at PATH. Replaces only a symbolic "
                     "link there; removed at exit if it still points to this terminal."),
      QStringLiteral("PATH"));
  const QString defaultAddress = QString::number(quennet::kValidatorAddress);
  const QCommandLineOption address(
      QStringLiteral("address"),
      QStringLiteral("Validator address (2..255, default %1).").arg(defaultAddress),
      QStringLiteral("N"), defaultAddress);
  const QCommandLineOption noEcho(QStringLiteral("no-echo"),
                                  QStringLiteral("Do not echo the host's bytes (separate RX/TX)."));
  const QCommandLineOption checksum8(QStringLiteral("checksum8"),
                                     QStringLiteral("8-bit checksum instead of CRC-16."));
  const QCommandLineOption encrypt(QStringLiteral("encrypt"),
                                   QStringLiteral("Encryption layer on (CRC mode only)."));
  const QString defaultKey = bnvsim::LineOptions{}.key;
  const QCommandLineOption key(
      QStringLiteral("key"),
      QStringLiteral("Six-digit encryption key (default %1).").arg(defaultKey),
      QStringLiteral("DIGITS"), defaultKey);
  const QCommandLineOption pacing(QStringLiteral("pacing"),
                                  QStringLiteral("Send every byte at 9600 baud 8N1 timing."));
  const QCommandLineOption delay(QStringLiteral("reply-delay"),
                                 QStringLiteral("Wait MS milliseconds before each reply."),
                                 QStringLiteral("MS"), QStringLiteral("0"));
  const QCommandLineOption escrowTimeout(
      QStringLiteral("escrow-timeout"),
      QStringLiteral("Return a note held in escrow after MS milliseconds without a route request "
                     "(default %1; 0 holds it until routed).")
          .arg(bnvsim::kDefaultEscrowHoldMs),
      QStringLiteral("MS"), QString::number(bnvsim::kDefaultEscrowHoldMs));
  const QString defaultScaling =
      QStringLiteral("%1,%2").arg(bnvsim::Scaling{}.factor).arg(bnvsim::Scaling{}.decimals);
  const QCommandLineOption scaling(
      QStringLiteral("scaling"),
      QStringLiteral("Scaling factor (1..65535) and decimal places (0..255) the validator gives "
                     "for its notes (default %1: the table's values are whole units).")
          .arg(defaultScaling),
      QStringLiteral("FACTOR,DECIMALS"), defaultScaling);
  const QCommandLineOption hopper(QStringLiteral("hopper"),
                                  QStringLiteral("Add a coin hopper at address %1 (as --device "
                                                 "hopper).")
                                      .arg(quennet::kHopperAddress));
  const QCommandLineOption hopperRate(
      QStringLiteral("hopper-rate"),
      QStringLiteral("Coins the hopper pays a second, 0..%1 (default %2; 0 pays every coin "
                     "within the dispense command).")
          .arg(bnvsim::kMaxHopperRate)
          .arg(bnvsim::kDefaultHopperRate),
      QStringLiteral("N"), QString::number(bnvsim::kDefaultHopperRate));
  const QCommandLineOption hopperCode(
      QStringLiteral("hopper-code"),
      QStringLiteral("The security code the hopper takes with a dispense: a number 0..16777215 "
                     "(default %1) or \"serial\", its own serial number.")
          .arg(bnvsim::kDefaultHopperCode),
      QStringLiteral("CODE"), QString::number(bnvsim::kDefaultHopperCode));
  const QCommandLineOption coins(QStringLiteral("coin-acceptor"),
                                 QStringLiteral("Add a coin acceptor at address %1 (as --device "
                                                "coin-acceptor).")
                                     .arg(quennet::kCoinAcceptorAddress));
  const QCommandLineOption device(
      QStringLiteral("device"),
      QStringLiteral("A device with a framing of its own; repeatable. ROLE: validator, "
                     "coin-acceptor (address 2) or hopper (address 3), added when not there. "
                     "MODE: crc16, checksum8, encrypted (CRC-16, default key) or "
                     "encrypted:DIGITS. Without MODE the device follows --checksum8, --encrypt "
                     "and --key, which set the line's framing. A kiosk: --device "
                     "validator=encrypted:123456 --device coin-acceptor=checksum8 --device "
                     "hopper=checksum8."),
      QStringLiteral("ROLE[=MODE]"));
  const QCommandLineOption busy(
      QStringLiteral("busy"),
      QStringLiteral("The device at ADDRESS answers BUSY to its next N commands; repeatable."),
      QStringLiteral("ADDRESS=N"));
  const QCommandLineOption slowReset(
      QStringLiteral("slow-reset"),
      QStringLiteral("The device at ADDRESS acknowledges a reset, then is silent for MS "
                     "milliseconds (default %1) as it comes back; repeatable.")
          .arg(bnvsim::kDefaultResetSilenceMs),
      QStringLiteral("ADDRESS[=MS]"));
  const QCommandLineOption noStacker(QStringLiteral("no-stacker"),
                                     QStringLiteral("Validator without a stacker."));
  const QCommandLineOption fault(
      QStringLiteral("fault"),
      QStringLiteral("Spoil replies at random: KIND=P with P in 0..1; repeatable. KIND: %1.")
          .arg(bnvsim::faultNameList()),
      QStringLiteral("KIND=P"));
  const QCommandLineOption trace(
      QStringLiteral("trace"),
      QStringLiteral("Every frame on the line to standard error, decoded as `quennet monitor` "
                     "prints it: time, direction, fields, header name, status, raw bytes."));
  const QCommandLineOption capture(
      QStringLiteral("capture"),
      QStringLiteral("Write every byte on the line, both directions with time stamps, to FILE "
                     "(`quennet monitor --input FILE` decodes it)."),
      QStringLiteral("FILE"));
  parser.addOptions({link,   address,       noEcho,    checksum8, encrypt,    key,        pacing,
                     delay,  escrowTimeout, scaling,   hopper,    hopperRate, hopperCode, coins,
                     device, busy,          slowReset, noStacker, fault,      trace,      capture});
  parser.process(app);

  Invocation run;
  bnvsim::LineOptions& line = run.options.line;
  line.echo = !parser.isSet(noEcho);
  line.crc = !parser.isSet(checksum8);
  line.encryption = parser.isSet(encrypt);
  line.key = parser.value(key);
  if (!bnvsim::validKeyText(line.key)) {
    fail(QStringLiteral("--key wants six decimal digits"));
  }
  line.pacing = parser.isSet(pacing);
  const auto milliseconds = [&](const QCommandLineOption& option) {
    const auto ms = bnvsim::millisecondsFromText(parser.value(option), bnvsim::kMaxSettingMs);
    if (!ms)
      fail(QStringLiteral("--%1 wants milliseconds, 0..%2")
               .arg(option.names().first())
               .arg(bnvsim::kMaxSettingMs));
    return *ms;
  };
  line.replyDelayMs = milliseconds(delay);
  run.options.escrowHoldMs = milliseconds(escrowTimeout);
  bool ok = false;
  run.options.validatorAddress = parser.value(address).toInt(&ok);
  if (!ok || run.options.validatorAddress < 2 || run.options.validatorAddress > 255) {
    fail(QStringLiteral("--address wants 2..255"));
  }
  const QStringList scale = parser.value(scaling).split(QLatin1Char(','));
  bool factorOk = false;
  bool decimalsOk = false;
  if (scale.size() == 2) {
    run.options.scaling.factor = scale[0].toInt(&factorOk);
    run.options.scaling.decimals = scale[1].toInt(&decimalsOk);
  }
  if (!factorOk || !decimalsOk || run.options.scaling.factor < 1 ||
      run.options.scaling.factor > 0xFFFF || run.options.scaling.decimals < 0 ||
      run.options.scaling.decimals > 0xFF) {
    fail(QStringLiteral("--scaling wants FACTOR,DECIMALS: 1..65535 and 0..255"));
  }
  run.options.hopper = parser.isSet(hopper);
  run.options.hopperRate = parser.value(hopperRate).toInt(&ok);
  if (!ok || run.options.hopperRate < 0 || run.options.hopperRate > bnvsim::kMaxHopperRate) {
    fail(QStringLiteral("--hopper-rate wants coins a second, 0..%1").arg(bnvsim::kMaxHopperRate));
  }
  run.options.hopperSerialCode = parser.value(hopperCode) == QLatin1String("serial");
  if (!run.options.hopperSerialCode) {
    run.options.hopperCode = parser.value(hopperCode).toUInt(&ok);
    if (!ok || run.options.hopperCode > 0xFFFFFF) {
      fail(QStringLiteral("--hopper-code wants 0..16777215 or serial"));
    }
  }
  run.options.coinAcceptor = parser.isSet(coins);
  for (const QString& argument : parser.values(device)) {
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
      fail(QStringLiteral("--device wants ROLE validator, coin-acceptor or hopper, got ") +
           argument);
    }
  }
  for (const QString& argument : parser.values(busy)) {
    const auto pair = addressValue(argument, bnvsim::kMaxQueuedFaults, -1);
    if (!pair) fail(QStringLiteral("--busy wants ADDRESS=N: 2..255 and 0..1000, got ") + argument);
    run.busyReplies.append(*pair);
  }
  for (const QString& argument : parser.values(slowReset)) {
    const auto pair = addressValue(argument, bnvsim::kMaxSettingMs, bnvsim::kDefaultResetSilenceMs);
    if (!pair) {
      fail(QStringLiteral("--slow-reset wants ADDRESS[=MS]: 2..255 and 0..%1, got ")
               .arg(bnvsim::kMaxSettingMs) +
           argument);
    }
    run.resetSilences.append(*pair);
  }
  run.options.stackerFitted = !parser.isSet(noStacker);
  run.options.trace = parser.isSet(trace);
  run.options.capturePath = parser.value(capture);
  run.link = parser.value(link);
  for (const QString& faultArgument : parser.values(fault)) {
    const auto kind = bnvsim::faultFromName(faultArgument.section(QLatin1Char('='), 0, 0));
    const auto p = bnvsim::probabilityFromText(faultArgument.section(QLatin1Char('='), 1));
    if (!kind || !p)
      fail(QStringLiteral("--fault wants KIND=P with P in 0..1, got ") + faultArgument);
    run.probabilities.append({*kind, *p});
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
