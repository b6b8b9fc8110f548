#include "tolvar/mainwindow/utility_commands.h"

#include <array>

#include <QColor>
#include <QLabel>
#include <QPalette>

#include "quennet/control/zav_quennet.h"
#include "quennet/link/protocol.h"
#include "tolvar/mainwindow/frm_host.h"
#include "tolvar/mainwindow/number_text.h"

namespace tolvar {

namespace {

const QColor kGreen(0, 192, 0);
const QColor kOrange(255, 128, 0);
const QColor kRed(255, 0, 0);
const QString kTitle = QStringLiteral("Tolvar Emulator");
const QString kAddressTitle = QStringLiteral("Change cctalk Address");

void setTextColour(QLabel* label, const QColor& colour) {
  QPalette palette = label->palette();
  palette.setColor(QPalette::WindowText, colour);
  label->setPalette(palette);
}

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
      return control.ReplyBuffer.at(4) == quennet::kHeaderNak ? QStringLiteral("NACK")
                                                              : QStringLiteral("No Data");
    case quennet::kResultBusy:
      return QStringLiteral("BUSY");
    case quennet::kResultTimeout:
      return QStringLiteral("Timeout");
    case quennet::kResultChecksum:
      // An ACK or NAK in place of the fault code is a failure of its own, not a bad checksum.
      if (control.lastTransaction().refusal == quennet::ReplyRefusal::TooShort) {
        return control.ReplyBuffer.at(4) == quennet::kHeaderNak ? QStringLiteral("NACK")
                                                                : QStringLiteral("No Data");
      }
      return QStringLiteral("Checksum Error");
    case quennet::kResultNotEnabled:
      return QStringLiteral("Port Closed");
    default:
      return QString::number(result);
  }
}

struct KeyProcedure {
  const char* key;
  void (*run)(UtilityCommands&);
};

constexpr KeyProcedure kProcedures[] = {
    {"Read_Rx", [](UtilityCommands& c) { c.ReadCommsStats(); }},
    {"Clear_Comms", [](UtilityCommands& c) { c.ClearCommsStats(); }},
    {"Read_M_Inh", [](UtilityCommands& c) { c.ReadMasterInhibit(); }},
    {"Set_M_Inh1", [](UtilityCommands& c) { c.WriteMasterInhibit(1); }},
    {"Set_M_Inh2", [](UtilityCommands& c) { c.WriteMasterInhibit(0); }},
    {"Read_Bill_Mode", [](UtilityCommands& c) { c.ReadBillMode(); }},
    {"Set_Bill_Mode", [](UtilityCommands& c) { c.WriteBillMode(); }},
    {"Addr_Poll", [](UtilityCommands& c) { c.PollAddresses(); }},
    {"Addr_Clash", [](UtilityCommands& c) { c.PollAddressClash(); }},
    {"Addr_Change", [](UtilityCommands& c) { c.ChangeSlaveAddress(); }},
    {"Addr_Random", [](UtilityCommands& c) { c.RandomizeSlaveAddress(); }},
    {"Motor_Fwd", [](UtilityCommands& c) { c.DriveMotors(1, 1); }},
    {"Motor_Stop", [](UtilityCommands& c) { c.DriveMotors(0, 0); }},
    {"Motor_Back", [](UtilityCommands& c) { c.DriveMotors(1, 0); }},
    {"Stacker", [](UtilityCommands& c) { c.TestStacker(); }},
    {"Self_Test", [](UtilityCommands& c) { c.RunValidatorSelfTest(); }},
};

}  // namespace

UtilityCommands::UtilityCommands(frmHost& host) : host_(host) {}

void UtilityCommands::handleKey(const QString& key) {
  for (const KeyProcedure& procedure : kProcedures) {
    if (key == QLatin1String(procedure.key)) {
      procedure.run(*this);
      return;
    }
  }
}

bool UtilityCommands::begin(std::uint8_t& device) {
  if (!host_.ApplyDetails(device)) return false;
  host_.ClearDisplay();
  return true;
}

void UtilityCommands::finish(const QString& reply) {
  host_.setStatusText(QStringLiteral("BNV Reply: ") + reply);
  host_.ShowDebug();
}

void UtilityCommands::ReadCommsStats() {
  frmHost::CommandScope scope(host_);
  std::uint8_t device = 0;
  if (!scope.acquired() || !begin(device)) return;
  std::array<std::uint8_t, 3> stats{};
  QString reply;
  if (host_.control()->GetCommsStatus(device, stats) == quennet::kResultOk) {
    for (std::size_t i = 0; i < stats.size(); ++i) {
      host_.lblCommsData[i]->setText(QString::number(stats[i]));
      reply += QString::number(stats[i], 16).toUpper() + QLatin1Char(',');
    }
  }
  finish(reply);
}

void UtilityCommands::ClearCommsStats() {
  frmHost::CommandScope scope(host_);
  std::uint8_t device = 0;
  if (!scope.acquired() || !begin(device)) return;
  QString reply;
  if (host_.control()->ClearCommsStatus(device, reply) == quennet::kResultOk) {
    for (QLabel* label : host_.lblCommsData) label->setText(QStringLiteral("0"));
  }
  finish(reply);
}

void UtilityCommands::ReadMasterInhibit() {
  frmHost::CommandScope scope(host_);
  std::uint8_t device = 0;
  if (!scope.acquired() || !begin(device)) return;
  std::uint8_t status = 0;
  QString reply;
  const std::int16_t result = host_.control()->GetMasterInhibit(device, status);
  if (result == quennet::kResultOk) {
    host_.lblMasterInh->setText(onOffText(status == 1));
    reply = QStringLiteral("ACK");
  } else if (result == quennet::kResultBusy) {
    reply = QStringLiteral("BUSY");
  }
  finish(reply);
}

void UtilityCommands::WriteMasterInhibit(std::uint8_t value) {
  frmHost::CommandScope scope(host_);
  std::uint8_t device = 0;
  if (!scope.acquired() || !begin(device)) return;
  QString reply;
  if (host_.control()->SetMasterInhibit(device, value, reply) == quennet::kResultOk) {
    host_.lblMasterInh->setText(onOffText(value == 1));
  }
  finish(reply);
}

void UtilityCommands::ReadBillMode() {
  frmHost::CommandScope scope(host_);
  std::uint8_t device = 0;
  if (!scope.acquired() || !begin(device)) return;
  std::array<std::uint8_t, 2> mode{};
  QString reply;
  if (host_.control()->ReadBillOperatingMode(device, mode) == quennet::kResultOk) {
    host_.lblBillMode[0]->setText(enabledText(mode[0] & 1));
    host_.lblBillMode[1]->setText(enabledText(mode[0] & 2));
    reply = QString::number(mode[0], 16).toUpper();
  }
  finish(reply);
}

void UtilityCommands::WriteBillMode() {
  frmHost::CommandScope scope(host_);
  std::uint8_t device = 0;
  if (!scope.acquired() || !begin(device)) return;
  // Bit 1 is escrow and bit 0 the stacker, as ReadBillMode shows them.
  std::uint8_t mode = 0;
  const QString questions[] = {QStringLiteral("Do you want to enable the Escrow function?"),
                               QStringLiteral("Do you want to enable the Stacker function?")};
  const std::uint8_t bits[] = {2, 1};
  for (int i = 0; i < 2; ++i) {
    const MsgResult answer =
        host_.ui().messageBox(questions[i], kTitle, MsgIcon::None, MsgButtons::YesNoCancel);
    if (answer == MsgResult::Cancel) return;
    if (answer == MsgResult::Yes) mode |= bits[i];
  }
  QString reply;
  host_.control()->SetBillOperatingMode(device, mode, reply);
  finish(reply);
}

void UtilityCommands::PollAddresses() {
  listAddresses(false);
}

void UtilityCommands::PollAddressClash() {
  listAddresses(true);
}

void UtilityCommands::listAddresses(bool clash) {
  frmHost::CommandScope scope(host_);
  if (!scope.acquired()) return;
  // A broadcast: no slave address is needed, so the address box is not checked.
  host_.ClearDisplay();
  // Room for every byte a collection gathers, so a full bus of answers is shown, not lost.
  std::array<std::uint8_t, quennet::kCollectAllMost> addresses{};
  zav_quennet* control = host_.control();
  const std::int16_t result =
      clash ? control->AddressClash(addresses) : control->AddressPoll(addresses);
  QString reply;
  if (result == quennet::kResultOk) {
    reply = QStringLiteral(" Address = ") + QString::number(addresses[0]);
    for (std::size_t i = 1; i < addresses.size() && addresses[i] != 0; ++i)
      reply += QString::number(addresses[i]);
  }
  finish(reply);
}

void UtilityCommands::ChangeSlaveAddress() {
  frmHost::CommandScope scope(host_);
  std::uint8_t device = 0;
  if (!scope.acquired() || !begin(device)) return;
  const QString answer = host_.ui().inputBox(QStringLiteral("Enter a new address (2 to 255):"),
                                             kAddressTitle, QStringLiteral("40"));
  const std::optional<std::int32_t> address = roundedInRange(leadingValue(answer), 0, 255);
  QString reply;
  if (!address) {
    host_.ui().messageBox(QStringLiteral("WARNING! Address must lie in the range 2 to 255."),
                          kAddressTitle, MsgIcon::Exclamation);
  } else if (*address > 1) {
    // Only the device moves; the bench keeps talking to the address in its box.
    host_.control()->AddressChange(device, static_cast<std::uint8_t>(*address), reply);
  }
  finish(reply);
}

void UtilityCommands::RandomizeSlaveAddress() {
  frmHost::CommandScope scope(host_);
  std::uint8_t device = 0;
  if (!scope.acquired() || !begin(device)) return;
  QString reply;
  host_.control()->AddressRandom(device, reply);
  finish(reply);
}

void UtilityCommands::DriveMotors(std::uint8_t first, std::uint8_t second) {
  frmHost::CommandScope scope(host_);
  std::uint8_t device = 0;
  if (!scope.acquired() || !begin(device)) return;
  const std::array<std::uint8_t, 3> flags{first, second, 0};
  QString reply;
  host_.control()->OperateMotors(device, flags, reply);
  finish(reply);
}

void UtilityCommands::TestStacker() {
  frmHost::CommandScope scope(host_);
  std::uint8_t device = 0;
  if (!scope.acquired() || !begin(device)) return;
  QString reply;
  host_.control()->CycleStacker(device, reply);
  if (reply == QLatin1String("ACK")) {
    reply = QStringLiteral("Stacker OK");
    setTextColour(host_.lblEvent, kGreen);
  } else if (reply == QString(QChar(255))) {
    reply = QStringLiteral("No Stacker Fitted");
    setTextColour(host_.lblEvent, kOrange);
  } else if (reply == QString(QChar(254))) {
    reply = QStringLiteral("Stacker Full or Jammed");
    setTextColour(host_.lblEvent, kRed);
  }
  host_.lblEvent->setText(reply);
  finish(reply);
}

void UtilityCommands::RunValidatorSelfTest() {
  frmHost::CommandScope scope(host_);
  std::uint8_t device = 0;
  if (!scope.acquired() || !begin(device)) return;
  std::array<std::uint8_t, 4> result{};
  zav_quennet* control = host_.control();
  const std::int16_t code = control->RunSelfTest(device, result);
  // Without a data reply the buffer holds zeros, which would read as a pass.
  if (code != quennet::kResultOk || control->ReplyBuffer.dataLength() == 0) {
    // The big label must not go on showing the previous test's fault as if it were this one's.
    setTextColour(host_.lblEvent, kRed);
    host_.lblEvent->setText(QStringLiteral("No Self Test Result"));
    finish(QStringLiteral("No Self Test Result: ") + noSelfTestReason(code, *control));
    return;
  }
  QString reply;
  if (result[0] == 0) {
    reply = QStringLiteral("Self Test Passed");
    setTextColour(host_.lblEvent, kGreen);
  } else {
    reply = result[0] == 1 ? QStringLiteral("EEPROM checksum error")
                           : QStringLiteral("Error No. [%1]").arg(int{result[0]});
    setTextColour(host_.lblEvent, kRed);
  }
  host_.lblEvent->setText(reply);
  finish(reply);
}

}  // namespace tolvar
