#include "tolvar/mainwindow/presenters/line_turn.h"

#include <optional>

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QTimer>

#include "quennet/control/zav_quennet.h"
#include "tolvar/mainwindow/panes/debug_pane.h"
#include "tolvar/mainwindow/panes/details_pane.h"
#include "tolvar/mainwindow/services/ui_services.h"
#include "tolvar/mainwindow/settings/number_text.h"

namespace tolvar {

namespace {
const QString kReplyPrefix = QStringLiteral("BNV Reply: ");
}  // namespace

LineTurn::LineTurn(zav_quennet& control, UiServices& ui, const HostSettings& settings,
                   DetailsPane& details, DebugPane& debug, QLabel& status)
    : control_(control),
      ui_(ui),
      settings_(settings),
      details_(details),
      debug_(debug),
      status_(status) {}

LineTurn::Scope::Scope(LineTurn& turn, bool showBusy) : turn_(turn) {
  if (turn_.running()) return;
  acquired_ = true;
  showBusy_ = showBusy;
  if (showBusy_) turn_.ui_.setBusy(true);
}

LineTurn::Scope::~Scope() {
  if (!acquired_) return;
  if (showBusy_) turn_.ui_.setBusy(false);
  // Every transaction runs inside a scope, so its end is the waiting command's turn. It runs
  // from the event loop, once the stack has unwound out of any wait.
  if (turn_.waitingCommand_) {
    QTimer::singleShot(0, &turn_, [turn = &turn_] { turn->runWaitingCommand(); });
  }
}

LineTurn::LongRun::LongRun(LineTurn& turn) : turn_(turn) {
  emit turn_.longRunChanged(true);
  turn_.ui_.setBusy(true);
}

LineTurn::LongRun::~LongRun() {
  emit turn_.longRunChanged(false);
  turn_.ui_.setBusy(false);
}

bool LineTurn::running() const {
  return control_.transactionRunning();
}

bool LineTurn::whenFree(std::function<void()> command) {
  if (!running()) {
    command();
    return true;
  }
  if (waitingCommand_) return false;
  waitingCommand_ = std::move(command);
  return true;
}

void LineTurn::runWaitingCommand() {
  // Another transaction may have taken the line first; its scope's end calls again.
  if (!waitingCommand_ || running()) return;
  const std::function<void()> command = std::move(waitingCommand_);
  waitingCommand_ = nullptr;
  command();
}

void LineTurn::refuse() {
  QApplication::beep();
}

bool LineTurn::ApplyDetails(std::uint8_t& address) {
  QLineEdit* txtAddress = details_.txtAddress;
  // Text that is no number would otherwise read as 0, the broadcast address every device obeys.
  std::optional<double> number = wholeNumber(txtAddress->text());
  if (number && *number < 0) {
    number = -*number;
    txtAddress->setText(QString::number(*number));
  }
  if (!number || *number > 255) {
    ui_.messageBox(QStringLiteral("WARNING! Address must lie in the range 0 to 255."),
                   kMessageTitle, MsgIcon::Exclamation);
    return false;
  }
  address = static_cast<std::uint8_t>(roundHalfEven(*number));
  txtAddress->setText(QString::number(address));
  return applyEncryption(true);
}

bool LineTurn::applyEncryption(bool tell) {
  if (!details_.chkEncrpyt->isChecked()) {
    control_.setEncryption(false);
    return true;
  }
  control_.setEncryption(true);
  QString key = details_.txtEncKey->text();
  KeyBytes keyBytes{};
  if (!tell) {
    // A poll says nothing of a key being typed; it goes on under the last good one.
    if (packKeyCode(key, keyBytes)) LoadKeyCode(keyBytes);
    return true;
  }
  const bool ok = ValidateKeyCode(key, keyBytes);
  if (ok) LoadKeyCode(keyBytes);
  details_.txtEncKey->setText(key);
  return ok;
}

bool LineTurn::ValidateKeyCode(QString& key, KeyBytes& keyBytes) {
  if (packKeyCode(key, keyBytes)) return true;
  ui_.messageBox(QStringLiteral("Invalid character entered in the key code."), kMessageTitle,
                 MsgIcon::Exclamation);
  return false;
}

void LineTurn::LoadKeyCode(const KeyBytes& keyBytes) {
  control_.setKeyCode(quennet::keyCodeFromBytes(keyBytes));
}

bool LineTurn::begin(std::uint8_t& address) {
  if (!ApplyDetails(address)) return false;
  ClearDisplay();
  return true;
}

void LineTurn::ClearDisplay() {
  debug_.clearFrames();
  setStatusText(kReplyPrefix);
}

QString LineTurn::replyLine(const QString& reply) const {
  // A command refused before its frame went out has no reply to show: the status bar says why
  // nothing happened.
  if (reply.isEmpty() && !control_.Enabled()) {
    return kReplyPrefix + quennet::resultMeaning(quennet::kResultNotEnabled) +
           QStringLiteral(": nothing sent (File > Open Port, Ctrl+P)");
  }
  return kReplyPrefix + reply;
}

void LineTurn::showReply(const QString& reply) {
  setStatusText(replyLine(reply));
  ShowDebug();
  replyShown_.start();
}

void LineTurn::showPollReply(const QString& reply) {
  if (replyShown_.isValid() && !replyShown_.hasExpired(kReplyHoldMs)) return;
  setStatusText(replyLine(reply));
  ShowDebug();
}

void LineTurn::ShowDebug() {
  if (settings_.ShwMsg != 1) return;
  // A frame that never went out (port closed or failing) is no command sent, and nothing
  // came back to it.
  if (!control_.lastTransaction().frameSent) {
    debug_.clearFrames();
    return;
  }
  debug_.showFrames({control_.sentOnLine(), control_.sentInClear()},
                    {control_.replyOnLine(), control_.replyInClear()});
}

void LineTurn::setStatusText(const QString& text) {
  status_.setText(text);
}

QString LineTurn::statusText() const {
  return status_.text();
}

}  // namespace tolvar
