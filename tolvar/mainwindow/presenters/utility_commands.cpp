#include "tolvar/mainwindow/presenters/utility_commands.h"

#include <array>

#include <QColor>
#include <QLabel>

#include "quennet/control/zav_quennet.h"
#include "quennet/link/protocol.h"
#include "quennet/link/protocol_events.h"
#include "tolvar/mainwindow/panes/counters_pane.h"
#include "tolvar/mainwindow/panes/event_pane.h"
#include "tolvar/mainwindow/panes/statistics_pane.h"
#include "tolvar/mainwindow/presenters/line_turn.h"
#include "tolvar/mainwindow/services/ui_services.h"
#include "tolvar/mainwindow/settings/number_text.h"

namespace tolvar {

namespace {

const QColor kGreen(0, 192, 0);
const QColor kOrange(255, 128, 0);
const QColor kRed(255, 0, 0);
const QString kAddressTitle = QStringLiteral("Change cctalk Address");

QString enabledText(bool on) {
  return on ? QStringLiteral("ENABLED") : QStringLiteral("DISABLED");
}

QString onOffText(bool on) {
  return on ? QStringLiteral("ON") : QStringLiteral("OFF");
}

// Why the self test brought no fault code back, for the status line.
QString noSelfTestReason(std::int16_t result, const zav_quennet& control) {
  switch (result) {
    case quennet::kResultOk:
      return control.replyHeader() == quennet::kHeaderNak ? QLatin1String(quennet::kNakText)
                                                          : QStringLiteral("No Data");
    case quennet::kResultBusy:
      return quennet::failureText(quennet::Failure::Busy);
    case quennet::kResultTimeout:
      return QStringLiteral("Timeout");
    case quennet::kResultChecksum:
      // An ACK or NAK in place of the fault code is a failure of its own, not a bad checksum.
      if (control.lastTransaction().refusal == quennet::Failure::TooShort) {
        return control.replyHeader() == quennet::kHeaderNak ? QLatin1String(quennet::kNakText)
                                                            : QStringLiteral("No Data");
      }
      return quennet::failureText(quennet::Failure::Checksum);
    case quennet::kResultNotEnabled:
      return QStringLiteral("Port Closed");
    default:
      return QString::number(result);
  }
}

}  // namespace

UtilityCommands::UtilityCommands(LineTurn& turn, StatisticsPane& statistics, CountersPane& counters,
                                 EventPane& events)
    : turn_(turn), statistics_(statistics), counters_(counters), events_(events) {}

void UtilityCommands::ReadCommsStats() {
  std::uint8_t device = 0;
  if (!turn_.begin(device)) return;
  std::array<std::uint8_t, 3> stats{};
  QString reply;
  if (turn_.control().GetCommsStatus(device, stats) == quennet::kResultOk) {
    for (std::size_t i = 0; i < stats.size(); ++i) {
      statistics_.lblCommsData[i]->setText(QString::number(stats[i]));
      reply += QString::number(stats[i], 16).toUpper() + QLatin1Char(',');
    }
  }
  turn_.showReply(reply);
}

void UtilityCommands::ClearCommsStats() {
  std::uint8_t device = 0;
  if (!turn_.begin(device)) return;
  QString reply;
  if (turn_.control().ClearCommsStatus(device, reply) == quennet::kResultOk) {
    for (QLabel* label : statistics_.lblCommsData) label->setText(QStringLiteral("0"));
  }
  turn_.showReply(reply);
}

void UtilityCommands::ReadMasterInhibit() {
  std::uint8_t device = 0;
  if (!turn_.begin(device)) return;
  std::uint8_t status = 0;
  QString reply;
  const std::int16_t result = turn_.control().GetMasterInhibit(device, status);
  if (result == quennet::kResultOk) {
    // Bit 0 set means the validator accepts: master inhibit OFF, as the button that sends it.
    counters_.lblMasterInh->setText(onOffText((status & 1) == 0));
    reply = QLatin1String(quennet::kAckText);
  } else if (result == quennet::kResultBusy) {
    reply = quennet::failureText(quennet::Failure::Busy);
  }
  turn_.showReply(reply);
}

void UtilityCommands::refreshMasterInhibit() {
  std::uint8_t device = 0;
  std::uint8_t status = 0;
  if (!turn_.ApplyDetails(device) ||
      turn_.control().GetMasterInhibit(device, status) != quennet::kResultOk) {
    return;
  }
  showMasterInhibit(status);
}

void UtilityCommands::showMasterInhibit(std::uint8_t status) {
  counters_.lblMasterInh->setText(onOffText((status & 1) == 0));
}

void UtilityCommands::showBillMode(std::uint8_t mode) {
  counters_.lblBillMode[0]->setText(enabledText(mode & quennet::kBillModeStacker));
  counters_.lblBillMode[1]->setText(enabledText(mode & quennet::kBillModeEscrow));
}

// The labels follow from the acknowledgement, as they do for the same command from the console
// or a script.
void UtilityCommands::WriteMasterInhibit(std::uint8_t value) {
  std::uint8_t device = 0;
  if (!turn_.begin(device)) return;
  QString reply;
  turn_.control().SetMasterInhibit(device, value, reply);
  turn_.showReply(reply);
}

void UtilityCommands::ReadBillMode() {
  std::uint8_t device = 0;
  if (!turn_.begin(device)) return;
  std::array<std::uint8_t, 2> mode{};
  QString reply;
  if (turn_.control().ReadBillOperatingMode(device, mode) == quennet::kResultOk) {
    showBillMode(mode[0]);
    reply = QString::number(mode[0], 16).toUpper();
  }
  turn_.showReply(reply);
}

void UtilityCommands::WriteBillMode() {
  std::uint8_t device = 0;
  if (!turn_.begin(device)) return;
  // Escrow first, then the stacker, as ReadBillMode shows them.
  std::uint8_t mode = 0;
  const QString questions[] = {QStringLiteral("Do you want to enable the Escrow function?"),
                               QStringLiteral("Do you want to enable the Stacker function?")};
  const std::uint8_t bits[] = {quennet::kBillModeEscrow, quennet::kBillModeStacker};
  for (int i = 0; i < 2; ++i) {
    const MsgResult answer =
        turn_.ui().messageBox(questions[i], kMessageTitle, MsgIcon::None, MsgButtons::YesNoCancel);
    if (answer == MsgResult::Cancel) return;
    if (answer == MsgResult::Yes) mode |= bits[i];
  }
  QString reply;
  turn_.control().SetBillOperatingMode(device, mode, reply);
  turn_.showReply(reply);
}

void UtilityCommands::ChangeSlaveAddress() {
  std::uint8_t device = 0;
  if (!turn_.begin(device)) return;
  const QString answer =
      turn_.ui().inputBox(QStringLiteral("Enter a new address (2 to 255):"), kAddressTitle,
                          QString::number(quennet::kValidatorAddress));
  const std::optional<std::int32_t> address = roundedInRange(leadingValue(answer), 0, 255);
  QString reply;
  if (!address) {
    turn_.ui().messageBox(QStringLiteral("WARNING! Address must lie in the range 2 to 255."),
                          kAddressTitle, MsgIcon::Exclamation);
  } else if (*address > 1) {
    // Only the device moves; the bench keeps talking to the address in its box.
    turn_.control().AddressChange(device, static_cast<std::uint8_t>(*address), reply);
  }
  turn_.showReply(reply);
}

void UtilityCommands::RandomizeSlaveAddress() {
  std::uint8_t device = 0;
  if (!turn_.begin(device)) return;
  QString reply;
  turn_.control().AddressRandom(device, reply);
  turn_.showReply(reply);
}

void UtilityCommands::DriveMotors(std::uint8_t first, std::uint8_t second) {
  std::uint8_t device = 0;
  if (!turn_.begin(device)) return;
  const std::array<std::uint8_t, 3> flags{first, second, 0};
  QString reply;
  turn_.control().OperateMotors(device, flags, reply);
  turn_.showReply(reply);
}

void UtilityCommands::TestStacker() {
  std::uint8_t device = 0;
  if (!turn_.begin(device)) return;
  QString reply;
  turn_.control().CycleStacker(device, reply);
  if (reply == QLatin1String(quennet::kAckText)) {
    reply = QStringLiteral("Stacker OK");
    events_.setEventColour(kGreen);
  } else if (reply == QString(QChar(quennet::kStackerNotFitted))) {
    reply = QLatin1String(quennet::kStackerNotFittedText);
    events_.setEventColour(kOrange);
  } else if (reply == QString(QChar(quennet::kStackerFault))) {
    reply = QLatin1String(quennet::kStackerFaultText);
    events_.setEventColour(kRed);
  }
  events_.setEventText(reply);
  turn_.showReply(reply);
}

void UtilityCommands::RunValidatorSelfTest() {
  std::uint8_t device = 0;
  if (!turn_.begin(device)) return;
  std::array<std::uint8_t, 4> result{};
  zav_quennet& control = turn_.control();
  const std::int16_t code = control.RunSelfTest(device, result);
  // Without a data reply the buffer holds zeros, which would read as a pass.
  if (code != quennet::kResultOk || control.deliveredDataCount() == 0) {
    // The big label must not go on showing the previous test's fault as if it were this one's.
    events_.setEventColour(kRed);
    events_.setEventText(QStringLiteral("No Self Test Result"));
    turn_.showReply(QStringLiteral("No Self Test Result: ") + noSelfTestReason(code, control));
    return;
  }
  QString reply;
  if (result[0] == 0) {
    reply = QStringLiteral("Self Test Passed");
    events_.setEventColour(kGreen);
  } else {
    // The fault's name from the library's table where it has one, after its number.
    const QString name = QString::fromLatin1(quennet::selfTestFaultName(result[0]));
    reply = result[0] == 1 ? name : QStringLiteral("Error No. [%1]").arg(int{result[0]});
    if (result[0] != 1 && !name.isEmpty()) reply += u' ' + name;
    events_.setEventColour(kRed);
  }
  events_.setEventText(reply);
  turn_.showReply(reply);
}

}  // namespace tolvar
