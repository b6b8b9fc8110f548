#include "bnvsim/console.h"

#include "bnvsim/note_table.h"
#include "quennet/commands/bus_scan.h"

namespace bnvsim {

namespace {

std::optional<bool> onOff(const QString& word) {
  if (word == QLatin1String("on")) return true;
  if (word == QLatin1String("off")) return false;
  return std::nullopt;
}

QString usage(const char* form) {
  return usageAnswer(form);
}

QString noteName(int position) {
  return QString::fromStdString(noteId(position));
}

}  // namespace

QString Console::help() {
  return QStringLiteral(
             "insert N            insert note position N (1..16) at the validator\n"
             "coin N              insert coin position N at the coin acceptor\n"
             "cashbox out|in      remove or put back the cash box\n"
             "jam                 jam the note transport\n"
             "cheat               pull a note back on its string\n"
             "full                report the stacker full\n"
             "reset               every device back as at power-up (all inhibited, events 0)\n"
             "selftest CODE       fault code the self test reports (0 = no fault)\n"
             "fault KIND [K]      spoil the next K replies (default 1, at most %2 waiting;\n"
             "                    0 clears KIND, queued and random)\n"
             "fault clear         clear every fault, queued, random and the self-test code\n"
             "probability KIND P  spoil replies at random with probability P (0..1)\n"
             "                    KIND: %1\n"
             "busy ADDRESS N      the device at ADDRESS answers BUSY to its next N commands\n"
             "slowreset ADDRESS [MS]  the device at ADDRESS is silent for MS (default %4)\n"
             "                    after it acknowledges a reset; 0: back at once\n"
             "echo on|off         echo of the host's bytes\n"
             "crc on|off          CRC-16 or the 8-bit checksum\n"
             "encrypt on|off      encryption layer (CRC mode only)\n"
             "key DIGITS          six-digit encryption key\n"
             "pacing on|off       9600 baud byte timing\n"
             "delay MS            reply delay in milliseconds (at most %3)\n"
             "status              the validator's state, the faults in force, the line and\n"
             "                    each device's framing\n"
             "hopper [jam N]      the hopper's coins held and paid out; jam: the next payout\n"
             "                    stops after N coins\n"
             "hopper replace S C  another hopper in its place: serial S, dispense count C\n"
             "brownout            the next note stacked reaches the cash box, and the\n"
             "                    validator resets before its stacked event is written\n"
             "counters            notes stacked and coins taken, by position\n"
             "help                this text\n"
             "quit                stop serving and exit")
      .arg(faultNameList())
      .arg(kMaxQueuedFaults)
      .arg(kMaxSettingMs)
      .arg(kDefaultResetSilenceMs);
}

QString Console::deviceFault(const QStringList& words) {
  const bool busy = words[0] == QLatin1String("busy");
  bool addressOk = false;
  bool valueOk = true;
  const int address = words.value(1).toInt(&addressOk);
  const int value =
      words.size() > 2 ? words[2].toInt(&valueOk) : (busy ? -1 : kDefaultResetSilenceMs);
  if (!addressOk || !valueOk || words.size() > 3) {
    return usage(busy ? kBusyForm : kSlowResetForm);
  }
  return (busy ? hands_.answerBusy(address, value) : hands_.slowReset(address, value)).answer;
}

QString Console::setLine(const QString& what, const QString& value) {
  if (what == QLatin1String("key")) return hands_.setKey(value).answer;
  if (what == QLatin1String("delay")) {
    bool ok = false;
    const int ms = value.toInt(&ok);
    return ok ? hands_.setReplyDelay(ms).answer : usage(kDelayForm);
  }
  const std::optional<bool> on = onOff(value);
  if (!on) return usage("echo|crc|encrypt|pacing on|off");
  if (what == QLatin1String("echo")) return hands_.setEcho(*on).answer;
  if (what == QLatin1String("crc")) return hands_.setCrc(*on).answer;
  if (what == QLatin1String("encrypt")) return hands_.setEncryption(*on).answer;
  return hands_.setPacing(*on).answer;
}

QString Console::fault(const QStringList& words) {
  const QString kind = words.value(1);
  if (kind == QLatin1String("clear") && words.size() == 2) return hands_.clearFaults().answer;
  const std::optional<Fault> fault = faultFromName(kind);
  bool countOk = true;
  const int count = words.size() > 2 ? words[2].toInt(&countOk) : 1;
  if (!fault || !countOk || words.size() > 3) return usage(kFaultForm);
  return hands_.spoilReplies(*fault, count).answer;
}

QString Console::status() const {
  const LineOptions line = simulator_.lineOptions();
  const auto mask = simulator_.inhibitMask();
  const auto flag = [](bool on) { return on ? QStringLiteral("on") : QStringLiteral("off"); };
  const int held = simulator_.escrowNote();
  const QString escrow = held == 0 ? QStringLiteral("escrow empty")
                                   : QStringLiteral("escrow holding %1").arg(noteName(held));

  return QStringLiteral(
             "validator at %1: inhibits %2 %3, master inhibit %4, bill mode %5, %6, "
             "event counter %7\n"
             "faults: %8\n"
             "line: echo %9, %10, encryption %11 (key %12), pacing %13, reply delay %14 ms, "
             "%15 frames received, %16 dropped unanswered\n"
             "%17")
      .arg(simulator_.validatorAddress())
      .arg(mask[0], 2, 16, QLatin1Char('0'))
      .arg(mask[1], 2, 16, QLatin1Char('0'))
      .arg(simulator_.masterInhibit())
      .arg(simulator_.billMode())
      .arg(escrow)
      .arg(simulator_.eventCounter())
      .arg(faultsText(simulator_.activeFaults()))
      .arg(flag(line.echo),
           quennet::framingCaption(line.crc ? quennet::DeviceFraming::Crc16
                                            : quennet::DeviceFraming::Checksum8),
           flag(line.encryption), line.key, flag(line.pacing))
      .arg(line.replyDelayMs)
      .arg(simulator_.framesReceived())
      .arg(simulator_.framesDropped())
      .arg(simulator_.devicesText());
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
  if (command == QLatin1String("counters")) return simulator_.counters();
  if (command == QLatin1String("insert")) {
    if (!numeric) return usage("insert N");
    return hands_.insertNote(number).answer;
  }
  if (command == QLatin1String("fault")) return fault(words);
  if (command == QLatin1String("busy") || command == QLatin1String("slowreset")) {
    return deviceFault(words);
  }
  if (command == QLatin1String("hopper") && argument == QLatin1String("replace")) {
    bool serialOk = false;
    bool countOk = false;
    const uint serial = words.value(2).toUInt(&serialOk);
    const uint count = words.value(3).toUInt(&countOk);
    if (words.size() != 4 || !serialOk || !countOk || serial > 0xFFFFFF || count > 0xFFFFFF) {
      return usage("hopper replace SERIAL COUNT (each 0..16777215)");
    }
    if (!simulator_.replaceHopper(serial, count)) return QStringLiteral("no hopper on the bus");
    return simulator_.hopperCounters();
  }
  if (command == QLatin1String("hopper")) {
    const bool jam = argument == QLatin1String("jam");
    bool countOk = false;
    const int coins = words.value(2).toInt(&countOk);
    if (words.size() > 1 && (!jam || !countOk || coins < 0 || coins > 255 || words.size() > 3)) {
      return usage("hopper [jam N]");
    }
    if (jam && !simulator_.jamHopper(coins)) return QStringLiteral("no hopper on the bus");
    const QString counters = simulator_.hopperCounters();
    return counters.isEmpty() ? QStringLiteral("no hopper on the bus") : counters;
  }
  if (command == QLatin1String("coin")) {
    if (!numeric) return usage("coin N");
    return hands_.insertCoin(number).answer;
  }
  if (command == QLatin1String("cashbox")) {
    if (argument == QLatin1String("out")) return hands_.removeCashBox().answer;
    if (argument == QLatin1String("in")) return hands_.insertCashBox().answer;
    return usage("cashbox out|in");
  }
  if (command == QLatin1String("jam")) return hands_.jam().answer;
  if (command == QLatin1String("cheat")) return hands_.cheat().answer;
  if (command == QLatin1String("brownout")) return hands_.brownOut().answer;
  if (command == QLatin1String("full")) return hands_.stackerFull().answer;
  if (command == QLatin1String("reset")) return hands_.powerCycle().answer;
  if (command == QLatin1String("selftest")) {
    if (!numeric || number < 0 || number > 255) return usage("selftest CODE");
    return hands_.setSelfTestCode(static_cast<std::uint8_t>(number)).answer;
  }
  if (command == QLatin1String("probability")) {
    const std::optional<Fault> fault = faultFromName(argument);
    const std::optional<double> p = probabilityFromText(words.value(2));
    if (!fault || !p) return usage(kProbabilityForm);
    return hands_.spoilAtRandom(*fault, *p).answer;
  }
  if (command == QLatin1String("echo") || command == QLatin1String("crc") ||
      command == QLatin1String("encrypt") || command == QLatin1String("pacing") ||
      command == QLatin1String("key") || command == QLatin1String("delay")) {
    return setLine(command, argument);
  }
  return QStringLiteral("unknown command \"%1\"; try help").arg(command);
}

}  // namespace bnvsim
