#include "bnvsim/console.h"

#include <array>
#include <cmath>

#include "bnvsim/note_table.h"
#include "bnvsim/validator.h"

namespace bnvsim {

namespace {

constexpr std::array<const char*, kFaultKinds> kFaultNames = {
    "silent", "busy",  "nak",      "badcrc",    "truncated", "noise",      "late",
    "noecho", "twice", "busylate", "echonoise", "echohost",  "wronglength"};

std::optional<bool> onOff(const QString& word) {
  if (word == QLatin1String("on")) return true;
  if (word == QLatin1String("off")) return false;
  return std::nullopt;
}

QString usage(const char* form) {
  return QStringLiteral("usage: %1").arg(QLatin1String(form));
}

// Why the validator gave a note back, in the words of its status event.
QString refusalReason(std::uint8_t status) {
  switch (static_cast<BillStatus>(status)) {
    case BillStatus::MasterInhibit:
      return QStringLiteral("master inhibit on");
    case BillStatus::NotRecognised:
      return QStringLiteral("not a note of this validator");
    case BillStatus::Inhibited:
      return QStringLiteral("note inhibited by the host");
    case BillStatus::CashBoxRemoved:
      return QStringLiteral("cash box out");
    case BillStatus::StackerFull:
      return QStringLiteral("stacker full");
    default:
      return QStringLiteral("returned");
  }
}

QString noteName(int position) {
  return QString::fromStdString(noteId(position));
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

QStringList faultNames() {
  QStringList names;
  for (const char* name : kFaultNames) names << QLatin1String(name);
  return names;
}

QString faultNameList() {
  return faultNames().join(QStringLiteral(", "));
}

std::optional<double> probabilityFromText(const QString& text) {
  bool ok = false;
  const double p = text.toDouble(&ok);
  if (!ok || !std::isfinite(p) || p < 0 || p > 1) return std::nullopt;
  return p;
}

std::optional<int> millisecondsFromText(const QString& text, int most) {
  bool ok = false;
  const int ms = text.toInt(&ok);
  if (!ok || ms < 0 || ms > most) return std::nullopt;
  return ms;
}

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
  const int most = busy ? kMaxQueuedFaults : kMaxSettingMs;
  if (!addressOk || !valueOk || value < 0 || value > most || words.size() > 3) {
    return busy ? usage("busy ADDRESS N (N 0..1000)") : usage("slowreset ADDRESS [MS 0..600000]");
  }
  const bool found =
      busy ? simulator_.setBusyReplies(address, value) : simulator_.setResetSilence(address, value);
  return found ? QStringLiteral("ok") : QStringLiteral("no device at address %1").arg(address);
}

QString Console::setLine(const QString& what, const QString& value) {
  LineOptions line = simulator_.lineOptions();
  if (what == QLatin1String("key")) {
    if (!validKeyText(value)) return usage("key DIGITS (six decimal digits)");
    line.key = value;
  } else if (what == QLatin1String("delay")) {
    const std::optional<int> ms = millisecondsFromText(value, kMaxSettingMs);
    if (!ms) return usage("delay MS (0..600000)");
    line.replyDelayMs = *ms;
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

QString Console::insert(int noteNumber) {
  const Insertion insertion = simulator_.insertNote(noteNumber);
  switch (insertion.outcome) {
    case Insertion::Held:
      return QStringLiteral("ok: %1 held in escrow").arg(noteName(noteNumber));
    case Insertion::Stacked:
      return QStringLiteral("ok: %1 stacked").arg(noteName(noteNumber));
    case Insertion::Returned:
      return QStringLiteral("ok: note returned, %1").arg(refusalReason(insertion.status));
    case Insertion::Blocked:
      break;
  }
  return QStringLiteral("refused: %1 is held in escrow; the host routes it or its hold time ends")
      .arg(noteName(simulator_.escrowNote()));
}

QString Console::fault(const QStringList& words) {
  const QString kind = words.value(1);
  if (kind == QLatin1String("clear") && words.size() == 2) {
    simulator_.clearFaults();
    return QStringLiteral("ok: no faults");
  }
  const std::optional<Fault> fault = faultFromName(kind);
  bool countOk = true;
  const int count = words.size() > 2 ? words[2].toInt(&countOk) : 1;
  if (!fault || !countOk || count < 0 || count > kMaxQueuedFaults || words.size() > 3) {
    return usage("fault KIND [COUNT 0..1000] or fault clear");
  }
  if (count == 0) {
    simulator_.clearFault(*fault);
    return QStringLiteral("ok");
  }
  if (!simulator_.injectFault(*fault, count)) {
    return QStringLiteral("refused: at most %1 faults may wait for replies").arg(kMaxQueuedFaults);
  }
  return QStringLiteral("ok");
}

QString faultsText(const ActiveFaults& active) {
  QStringList faults;
  for (int kind = 0; kind < kFaultKinds; ++kind) {
    const auto k = static_cast<std::size_t>(kind);
    const QString name = QLatin1String(kFaultNames[k]);
    if (active.queued[k] > 0) faults << QStringLiteral("%1 x%2").arg(name).arg(active.queued[k]);
    if (active.probability[k] > 0) {
      faults << QStringLiteral("%1 p=%2").arg(name).arg(active.probability[k]);
    }
  }
  if (active.selfTestCode != 0) faults << QStringLiteral("self test %1").arg(active.selfTestCode);
  if (faults.isEmpty()) faults << QStringLiteral("none");
  return faults.join(QStringLiteral(", "));
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
      .arg(flag(line.echo), line.crc ? QStringLiteral("CRC-16") : QStringLiteral("8-bit checksum"),
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
    return insert(number);
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
  } else if (command == QLatin1String("brownout")) {
    simulator_.brownOut();
  } else if (command == QLatin1String("full")) {
    simulator_.stackerFull();
  } else if (command == QLatin1String("reset")) {
    simulator_.reset();
  } else if (command == QLatin1String("selftest")) {
    if (!numeric || number < 0 || number > 255) return usage("selftest CODE");
    simulator_.setSelfTestFault(number);
  } else if (command == QLatin1String("probability")) {
    const std::optional<Fault> fault = faultFromName(argument);
    const std::optional<double> p = probabilityFromText(words.value(2));
    if (!fault || !p) return usage("probability KIND P (0..1)");
    simulator_.setFaultProbability(*fault, *p);
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
