#include "tolvar/mainwindow/presenters/host_commands.h"

#include <QLineEdit>

#include "quennet/control/zav_quennet.h"
#include "tolvar/mainwindow/panes/details_pane.h"
#include "tolvar/mainwindow/presenters/line_turn.h"
#include "tolvar/mainwindow/services/ui_services.h"

namespace tolvar {

void HostCommands::SendSimplePoll() {
  std::uint8_t address = 0;
  if (!turn_.begin(address)) return;
  QString reply;
  turn_.control().SendPoll(address, reply);
  turn_.showReply(reply);
}

void HostCommands::ResetValidator() {
  std::uint8_t address = 0;
  if (!turn_.begin(address)) return;
  QString reply;
  const bool reset = turn_.control().ResetDevice(address, reply) == quennet::kResultOk;
  turn_.showReply(reply);
  // After the reply is shown: what the reset changed is read again behind it.
  if (reset) emit deviceReset();
}

void HostCommands::ChangeKeyCode() {
  std::uint8_t address = 0;
  if (!turn_.ApplyDetails(address)) return;
  QString entry = turn_.ui().inputBox(QStringLiteral("Enter new Encrption Key.\r\n(6 digits)"),
                                      QStringLiteral("Change ccTalk Key"), QString());
  // Cancel and an empty answer would otherwise pad to 000000 and become the device's key.
  if (entry.trimmed().isEmpty()) {
    turn_.setStatusText(QStringLiteral("Key not changed: nothing sent."));
    return;
  }
  KeyBytes keyBytes{};
  if (!turn_.ValidateKeyCode(entry, keyBytes)) return;
  QString reply;
  if (turn_.control().ChangeKey(address, keyBytes, reply) == quennet::kResultOk) {
    turn_.LoadKeyCode(keyBytes);
    details_.txtEncKey->setText(entry);
  }
  turn_.showReply(reply);
}

void HostCommands::SaveKeyCode() {
  std::uint8_t address = 0;
  if (!turn_.ApplyDetails(address)) return;
  QString reply;
  turn_.control().SaveKey(address, reply);
  turn_.showReply(reply);
}

}  // namespace tolvar
