#include "bnvsim/console.h"

#include <array>

#include <QRegularExpression>

namespace bnvsim {

namespace {

constexpr std::array<const char*, 8> kFaultNames = {"silent",    "busy",  "nak",  "badcrc",
                                                    "truncated", "noise", "late", "noecho"};

std::optional<bool> onOff(const QString& word) {
  if (word == QLatin1String("on")) return true;
  if (word == QLatin1String("off")) return false;
  return std::nullopt;
}

bool validKey(const QString& key) {
  static const QRegularExpression sixDigits(QStringLiteral("^[0-9]{6}$"));
  return sixDigits.match(key).hasMatch();
}

QString usage(const char* form) {
  return QStringLiteral("usage: %1").arg(QLatin1String(form));
}

}  // namespace

std::optional<Fault> faultFromName(const QString& name) {
  for (std::size_t i = 0; i < kFaultNames.size(); ++i) {
    if (name.compare(QLatin1String(kFaultNames[i]), Qt::CaseInsensitive) == 0) {
      return static_cast<Fault>(i);
    }
  }
  return std::nullopt;
}

QString faultNameList() {
  QStringList names;
  for (const char* name : kFaultNames) names << QLatin1String(name);
  return names.join(QStringLiteral(", "));
}

QString Console::help() {
  return QStringLiteral(
             "insert N            insert note position N (1..16) at the validator\n"
             "coin N              insert coin position N at the coin acceptor\n"
             "cashbox out|in      remove or put back the cash box\n"
             "jam                 jam the note transport\n"
             "cheat               pull a note back on its string\n"
             "full                report the stacker full\n"
             "reset               reset the validator (event counter 0, escrow cleared)\n"
             "selftest CODE       fault code the self test reports (0 = no fault)\n"
             "fault KIND [K]      spoil the next K replies (default 1)\n"
             "probability KIND P  spoil replies at random with probability P (0..1)\n"
             "                    KIND: %1\n"
             "echo on|off         echo of the host's bytes\n"
             "crc on|off          CRC-16 or the 8-bit checksum\n"
             "encrypt on|off      encryption layer (CRC mode only)\n"
             "key DIGITS          six-digit encryption key\n"
             "pacing on|off       9600 baud byte timing\n"
             "delay MS            reply delay in milliseconds\n"
             "status              show the validator's state and the line settings\n"
             "help                this text\n"
             "quit                stop serving and exit")
      .arg(faultNameList());
}

QString Console::setLine(const QString& what, const QString& value) {
  LineOptions line = simulator_.lineOptions();
  if (what == QLatin1String("key")) {
    if (!validKey(value)) return usage("key DIGITS (six decimal digits)");
    line.key = value;
  } else if (what == QLatin1String("delay")) {
    bool ok = false;
    const int ms = value.toInt(&ok);
    if (!ok || ms < 0) return usage("delay MS");
    line.replyDelayMs = ms;
  } else {
    const std::optional<bool> on = onOff(value);
    if (!on) return usage("echo|crc|encrypt|pacing on|off");
    if (what == QLatin1String("echo")) line.echo = *on;
    if (what == QLatin1String("crc")) line.crc = *on;
    if (what == QLatin1String("encrypt")) line.encryption = *on;
    if (what == QLatin1String("pacing")) line.pacing = *on;
  }
  simulator_.setLineOptions(line);
  return QStringLiteral("ok");
}

QString Console::status() const {
  const LineOptions line = simulator_.lineOptions();
  const auto mask = simulator_.inhibitMask();
  const auto flag = [](bool on) { return on ? QStringLiteral("on") : QStringLiteral("off"); };
  return QStringLiteral(
             "validator at %1: inhibits %2 %3, master inhibit %4, bill mode %5, escrow %6\n"
             "line: echo %7, %8, encryption %9 (key %10), pacing %11, reply delay %12 ms, "
             "%13 frames received")
      .arg(simulator_.validatorAddress())
      .arg(mask[0], 2, 16, QLatin1Char('0'))
      .arg(mask[1], 2, 16, QLatin1Char('0'))
      .arg(simulator_.masterInhibit())
      .arg(simulator_.billMode())
      .arg(simulator_.noteInEscrow() ? QStringLiteral("holding a note") : QStringLiteral("empty"))
      .arg(flag(line.echo), line.crc ? QStringLiteral("CRC-16") : QStringLiteral("8-bit checksum"),
           flag(line.encryption), line.key, flag(line.pacing))
      .arg(line.replyDelayMs)
      .arg(simulator_.framesReceived());
}

QString Console::execute(const QString& text) {
  const QStringList words = text.simplified().toLower().split(QLatin1Char(' '), Qt::SkipEmptyParts);
  if (words.isEmpty()) return {};
  const QString& command = words[0];
  const QString argument = words.value(1);
  bool numeric = false;
  const int number = argument.toInt(&numeric);

  if (command == QLatin1String("help")) return help();
  if (command == QLatin1String("quit") || command == QLatin1String("exit")) {
    quit_ = true;
    return QStringLiteral("bye");
  }
  if (command == QLatin1String("status")) return status();
  if (command == QLatin1String("insert")) {
    if (!numeric) return usage("insert N");
    simulator_.insertNote(number);
  } else if (command == QLatin1String("coin")) {
    if (!numeric) return usage("coin N");
    simulator_.insertCoin(number);
  } else if (command == QLatin1String("cashbox")) {
    if (argument == QLatin1String("out")) {
      simulator_.removeCashBox();
    } else if (argument == QLatin1String("in")) {
      simulator_.insertCashBox();
    } else {
      return usage("cashbox out|in");
    }
  } else if (command == QLatin1String("jam")) {
    simulator_.jam();
  } else if (command == QLatin1String("cheat")) {
    simulator_.cheat();
  } else if (command == QLatin1String("full")) {
    simulator_.stackerFull();
  } else if (command == QLatin1String("reset")) {
    simulator_.reset();
  } else if (command == QLatin1String("selftest")) {
    if (!numeric || number < 0 || number > 255) return usage("selftest CODE");
    simulator_.setSelfTestFault(number);
  } else if (command == QLatin1String("fault")) {
    const std::optional<Fault> fault = faultFromName(argument);
    bool countOk = true;
    const int count = words.size() > 2 ? words[2].toInt(&countOk) : 1;
    if (!fault || !countOk || count < 1) return usage("fault KIND [COUNT]");
    simulator_.injectFault(*fault, count);
  } else if (command == QLatin1String("probability")) {
    const std::optional<Fault> fault = faultFromName(argument);
    bool ok = false;
    const double p = words.value(2).toDouble(&ok);
    if (!fault || !ok || p < 0 || p > 1) return usage("probability KIND P");
    simulator_.setFaultProbability(*fault, p);
  } else if (command == QLatin1String("echo") || command == QLatin1String("crc") ||
             command == QLatin1String("encrypt") || command == QLatin1String("pacing") ||
             command == QLatin1String("key") || command == QLatin1String("delay")) {
    return setLine(command, argument);
  } else {
    return QStringLiteral("unknown command \"%1\"; try help").arg(command);
  }
  return QStringLiteral("ok");
}

}  // namespace bnvsim
