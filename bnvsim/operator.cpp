#include "bnvsim/operator.h"

#include <array>
#include <cmath>

#include "bnvsim/note_table.h"
#include "bnvsim/validator.h"

namespace bnvsim {

namespace {

constexpr std::array<const char*, kFaultKinds> kFaultNames = {
    "silent", "busy",  "nak",      "badcrc",    "truncated", "noise",      "late",
    "noecho", "twice", "busylate", "echonoise", "echohost",  "wronglength"};

QString onOff(bool on) {
  return on ? QStringLiteral("on") : QStringLiteral("off");
}

QString faultName(Fault fault) {
  return QLatin1String(kFaultNames[static_cast<std::size_t>(fault)]);
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

const QString kOk = QStringLiteral("ok");

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

QString usageAnswer(const char* form) {
  return QStringLiteral("usage: %1").arg(QLatin1String(form));
}

Done Operator::insertNote(int position) {
  const QString action = QStringLiteral("insert %1").arg(position);
  const Insertion insertion = simulator_.insertNote(position);
  switch (insertion.outcome) {
    case Insertion::Held:
      return {action, QStringLiteral("ok: %1 held in escrow").arg(noteName(position))};
    case Insertion::Stacked:
      return {action, QStringLiteral("ok: %1 stacked").arg(noteName(position))};
    case Insertion::Returned:
      return {action, QStringLiteral("ok: note returned, %1").arg(refusalReason(insertion.status))};
    case Insertion::Blocked:
      break;
  }
  return {action,
          QStringLiteral("refused: %1 is held in escrow; the host routes it or its hold time ends")
              .arg(noteName(simulator_.escrowNote()))};
}

Done Operator::insertUnknownNote() {
  int position = 1;
  while (position < kNotePositions && noteDefined(position)) ++position;
  return insertNote(position);
}

Done Operator::insertCoin(int position) {
  simulator_.insertCoin(position);
  return {QStringLiteral("coin %1").arg(position), kOk};
}

Done Operator::removeCashBox() {
  simulator_.removeCashBox();
  return {QStringLiteral("cashbox out"), kOk};
}

Done Operator::insertCashBox() {
  simulator_.insertCashBox();
  return {QStringLiteral("cashbox in"), kOk};
}

Done Operator::jam() {
  simulator_.jam();
  return {QStringLiteral("jam"), kOk};
}

Done Operator::cheat() {
  simulator_.cheat();
  return {QStringLiteral("cheat"), kOk};
}

Done Operator::stackerFull() {
  simulator_.stackerFull();
  return {QStringLiteral("full"), kOk};
}

Done Operator::brownOut() {
  simulator_.brownOut();
  return {QStringLiteral("brownout"), kOk};
}

Done Operator::powerCycle() {
  simulator_.reset();
  return {QStringLiteral("reset"), kOk};
}

Done Operator::setSelfTestCode(std::uint8_t code) {
  simulator_.setSelfTestFault(code);
  return {QStringLiteral("selftest %1").arg(code), kOk};
}

Done Operator::spoilReplies(Fault fault, int count) {
  const QString action = QStringLiteral("fault %1 %2").arg(faultName(fault)).arg(count);
  if (count < 0 || count > kMaxQueuedFaults) {
    return {action, usageAnswer(kFaultForm)};
  }
  if (count == 0) {
    simulator_.clearFault(fault);
    return {action, kOk};
  }
  if (!simulator_.injectFault(fault, count)) {
    return {
        action,
        QStringLiteral("refused: at most %1 faults may wait for replies").arg(kMaxQueuedFaults)};
  }
  return {action, kOk};
}

Done Operator::spoilAtRandom(Fault fault, double probability) {
  const QString action = QStringLiteral("probability %1 %2").arg(faultName(fault)).arg(probability);
  if (!std::isfinite(probability) || probability < 0 || probability > 1) {
    return {action, usageAnswer(kProbabilityForm)};
  }
  simulator_.setFaultProbability(fault, probability);
  return {action, kOk};
}

Done Operator::clearFaults() {
  simulator_.clearFaults();
  return {QStringLiteral("fault clear"), QStringLiteral("ok: no faults")};
}

Done Operator::setSwitch(const char* word, bool LineOptions::*flag, bool on) {
  LineOptions line = simulator_.lineOptions();
  line.*flag = on;
  simulator_.setLineOptions(line);
  return {QStringLiteral("%1 %2").arg(QLatin1String(word), onOff(on)), kOk};
}

Done Operator::setEcho(bool on) {
  return setSwitch("echo", &LineOptions::echo, on);
}

Done Operator::setCrc(bool on) {
  return setSwitch("crc", &LineOptions::crc, on);
}

Done Operator::setEncryption(bool on) {
  return setSwitch("encrypt", &LineOptions::encryption, on);
}

Done Operator::setPacing(bool on) {
  return setSwitch("pacing", &LineOptions::pacing, on);
}

Done Operator::setKey(const QString& digits) {
  const QString action = QStringLiteral("key %1").arg(digits);
  if (!validKeyText(digits)) return {action, usageAnswer(kKeyForm)};
  LineOptions line = simulator_.lineOptions();
  line.key = digits;
  simulator_.setLineOptions(line);
  return {action, kOk};
}

Done Operator::setReplyDelay(int ms) {
  const QString action = QStringLiteral("delay %1").arg(ms);
  if (ms < 0 || ms > kMaxSettingMs) return {action, usageAnswer(kDelayForm)};
  LineOptions line = simulator_.lineOptions();
  line.replyDelayMs = ms;
  simulator_.setLineOptions(line);
  return {action, kOk};
}

Done Operator::answerBusy(int address, int count) {
  const QString action = QStringLiteral("busy %1 %2").arg(address).arg(count);
  if (count < 0 || count > kMaxQueuedFaults) {
    return {action, usageAnswer(kBusyForm)};
  }
  if (!simulator_.setBusyReplies(address, count)) {
    return {action, QStringLiteral("no device at address %1").arg(address)};
  }
  return {action, kOk};
}

Done Operator::slowReset(int address, int ms) {
  const QString action = QStringLiteral("slowreset %1 %2").arg(address).arg(ms);
  if (ms < 0 || ms > kMaxSettingMs) {
    return {action, usageAnswer(kSlowResetForm)};
  }
  if (!simulator_.setResetSilence(address, ms)) {
    return {action, QStringLiteral("no device at address %1").arg(address)};
  }
  return {action, kOk};
}

}  // namespace bnvsim
