#include "tolvar/mainwindow/host_commands.h"

#include <QGroupBox>
#include <QLineEdit>

#include "quennet/control/zav_quennet.h"
#include "tolvar/dialogs/frm_about.h"
#include "tolvar/dialogs/frm_options.h"
#include "tolvar/mainwindow/frm_host.h"
#include "tolvar/mainwindow/polling.h"

namespace tolvar {

namespace {
const QString kReplyPrefix = QStringLiteral("BNV Reply: ");
}

void HostCommands::SendSimplePoll() {
  std::uint8_t address = 0;
  if (!host_.ApplyDetails(address)) return;
  host_.ClearDisplay();
  QString reply;
  host_.control()->SendPoll(address, reply);
  host_.setStatusText(kReplyPrefix + reply);
  host_.ShowDebug();
}

void HostCommands::ResetValidator() {
  std::uint8_t address = 0;
  if (!host_.ApplyDetails(address)) return;
  host_.ClearDisplay();
  QString reply;
  if (host_.control()->ResetDevice(address, reply) == quennet::kResultOk) {
    host_.polling().dropPendingRoute();
    host_.fraNote->hide();
  }
  host_.setStatusText(kReplyPrefix + reply);
  host_.ShowDebug();
}

void HostCommands::ChangeKeyCode() {
  std::uint8_t address = 0;
  if (!host_.ApplyDetails(address)) return;
  QString entry = host_.ui().inputBox(QStringLiteral("Enter new Encrption Key.\r\n(6 digits)"),
                                      QStringLiteral("Change ccTalk Key"), QString());
  // Cancel and an empty answer would otherwise pad to 000000 and become the device's key.
  if (entry.trimmed().isEmpty()) {
    host_.setStatusText(QStringLiteral("Key not changed: nothing sent."));
    return;
  }
  KeyBytes keyBytes{};
  if (!host_.ValidateKeyCode(entry, keyBytes)) return;
  QString reply;
  if (host_.control()->ChangeKey(address, keyBytes, reply) == quennet::kResultOk) {
    host_.LoadKeyCode(keyBytes);
    host_.txtEncKey->setText(entry);
  }
  host_.setStatusText(kReplyPrefix + reply);
  host_.ShowDebug();
}

void HostCommands::SaveKeyCode() {
  std::uint8_t address = 0;
  if (!host_.ApplyDetails(address)) return;
  QString reply;
  host_.control()->SaveKey(address, reply);
  host_.setStatusText(kReplyPrefix + reply);
  host_.ShowDebug();
}

void HostCommands::ShowOptions() {
  HostSettings& settings = host_.settings();
  // Named devices the machine does not list: the virtual validator's and the user's own, which
  // stays selectable while a simulated run uses another.
  QStringList extraPorts = host_.namedPortsChosen();
  if (!host_.simulatedPort().isEmpty() && !extraPorts.contains(host_.simulatedPort())) {
    extraPorts.prepend(host_.simulatedPort());
  }
  zav_quennet* control = host_.control();
  const QString deviceBefore = control->deviceName();
  const bool enabledBefore = control->Enabled();
  if (!Set_Options(&host_, host_.ui(), settings, extraPorts)) return;
  host_.applyPortSettings();
  // A port error leaves the control disabled; another port chosen here is the way back. (A
  // port that fails now has said so and stays disabled.)
  if (!enabledBefore && control->deviceName() != deviceBefore) control->setEnabled(true);
  host_.control()->setCommsEcho(settings.MsgEcho == 1);
  host_.fraDebug->setVisible(settings.ShwMsg == 1);
}

void HostCommands::ShowAbout() {
  showAboutBox(&host_, host_.ui());
}

}  // namespace tolvar
