// Toolbar clicks: one table from key to action for all four bars, the bar toggles and the turn
// on the line.
#include <QAction>
#include <QTimer>

#include "tolvar/mainwindow/presenters/data_views.h"
#include "tolvar/mainwindow/presenters/host_commands.h"
#include "tolvar/mainwindow/presenters/line_turn.h"
#include "tolvar/mainwindow/presenters/note_enabling.h"
#include "tolvar/mainwindow/presenters/polling.h"
#include "tolvar/mainwindow/presenters/utility_commands.h"
#include "tolvar/mainwindow/window/frm_host.h"
#include "tolvar/mainwindow/window/host_toolbar.h"

namespace tolvar {

namespace {
const QString kPollKey = QStringLiteral("Poll_BNV");
constexpr bool kAtOnce = false;
constexpr bool kOnTheLine = true;
}  // namespace

void frmHost::buildKeyTable() {
  HostCommands& host = *hostCommands_;
  DataViews& views = *dataViews_;
  NoteEnabling& notes = *noteEnabling_;
  UtilityCommands& utility = *utilityCommands_;
  const std::pair<const char*, KeyAction> table[] = {
      // Host bar.
      {"Simple_Poll", {kOnTheLine, [&host] { host.SendSimplePoll(); }}},
      {"Reset", {kOnTheLine, [&host] { host.ResetValidator(); }}},
      {"Unit_Data", {kOnTheLine, [&views] { views.ReadUnitData(); }}},
      // A new table shows which notes the validator has enabled, read back from it.
      {"Note_Data",
       {kOnTheLine,
        [&views, &notes] {
          if (views.ReadNoteData()) notes.refreshNoteMask();
        }}},
      {"Enable_Bar", {kAtOnce, [this] { toggleBar(tlbEnable, QStringLiteral("Enable_Bar")); }}},
      {"Utilities_Bar",
       {kAtOnce, [this] { toggleBar(tlbUtility, QStringLiteral("Utilities_Bar")); }}},
      {"Diag_Bar", {kAtOnce, [this] { toggleBar(tlbDiagnostic, QStringLiteral("Diag_Bar")); }}},
      {"Poll_BNV",
       {kOnTheLine, [this] { polling_->TogglePolling(tlbHost->button(kPollKey)->isChecked()); }}},
      {"Modify_Key", {kOnTheLine, [&host] { host.ChangeKeyCode(); }}},
      {"Save_Key", {kOnTheLine, [&host] { host.SaveKeyCode(); }}},
      {"Options", {kOnTheLine, [this] { ShowOptions(); }}},
      {"Help_About", {kOnTheLine, [this] { ShowAbout(); }}},
      // Note enabling bar.
      {"Enable_N", {kOnTheLine, [&notes] { notes.EnableSelectedNotes(); }}},
      {"Show_Enabled", {kOnTheLine, [&notes] { notes.ShowEnabledNotes(); }}},
      {"Enable_All", {kOnTheLine, [&notes] { notes.EnableAllNotes(); }}},
      {"Read_Mask", {kOnTheLine, [&notes] { notes.ReadCountryMask(); }}},
      {"Enable_Cntry", {kOnTheLine, [&notes] { notes.EnableCountryNotes(); }}},
      {"Mod_Security", {kOnTheLine, [&notes] { notes.ModifyNoteSecurity(); }}},
      {"Read_Scale", {kOnTheLine, [&notes] { notes.ReadCountryScale(); }}},
      {"Note_Insert", {kOnTheLine, [&notes] { notes.ReadInsertCount(); }}},
      {"Note_Accept", {kOnTheLine, [&notes] { notes.ReadAcceptCount(); }}},
      // Utility bar.
      {"Read_Rx", {kOnTheLine, [&utility] { utility.ReadCommsStats(); }}},
      {"Clear_Comms", {kOnTheLine, [&utility] { utility.ClearCommsStats(); }}},
      {"Read_M_Inh", {kOnTheLine, [&utility] { utility.ReadMasterInhibit(); }}},
      {"Set_M_Inh1", {kOnTheLine, [&utility] { utility.WriteMasterInhibit(1); }}},
      {"Set_M_Inh2", {kOnTheLine, [&utility] { utility.WriteMasterInhibit(0); }}},
      {"Read_Bill_Mode", {kOnTheLine, [&utility] { utility.ReadBillMode(); }}},
      {"Set_Bill_Mode", {kOnTheLine, [&utility] { utility.WriteBillMode(); }}},
      {"Addr_Poll", {kOnTheLine, [this] { PollAddresses(); }}},
      {"Addr_Clash", {kOnTheLine, [this] { PollAddressClash(); }}},
      {"Addr_Change", {kOnTheLine, [&utility] { utility.ChangeSlaveAddress(); }}},
      {"Addr_Random", {kOnTheLine, [&utility] { utility.RandomizeSlaveAddress(); }}},
      // Diagnostic bar.
      {"Motor_Fwd", {kOnTheLine, [&utility] { utility.DriveMotors(1, 1); }}},
      {"Motor_Stop", {kOnTheLine, [&utility] { utility.DriveMotors(0, 0); }}},
      {"Motor_Back", {kOnTheLine, [&utility] { utility.DriveMotors(1, 0); }}},
      {"Stacker", {kOnTheLine, [&utility] { utility.TestStacker(); }}},
      {"Self_Test", {kOnTheLine, [&utility] { utility.RunValidatorSelfTest(); }}},
  };
  for (const auto& [key, action] : table) keyActions_.insert(QString::fromLatin1(key), action);
}

void frmHost::onToolBarKey(HostToolBar* bar, const QString& key) {
  const auto action = keyActions_.constFind(key);
  if (action == keyActions_.constEnd()) return;
  // Stopping sends nothing, so it is never refused.
  if (key == kPollKey && !tlbHost->button(key)->isChecked()) return polling_->TogglePolling(false);
  if (!action->takesLine) return action->run();
  // A click that arrives while a transaction waits for its reply gets its turn afterwards.
  if (lineTurn_->running()) {
    if (!lineTurn_->whenFree([this, bar, key] { onToolBarKey(bar, key); })) {
      refuseWhileBusy(bar, key);
    }
    return;
  }
  const LineTurn::Scope scope(*lineTurn_);
  action->run();
}

void frmHost::toggleBar(HostToolBar* shown, const QString& key) {
  const std::pair<HostToolBar*, const char*> bars[] = {
      {tlbEnable, "Enable_Bar"}, {tlbUtility, "Utilities_Bar"}, {tlbDiagnostic, "Diag_Bar"}};
  for (const auto& [bar, barKey] : bars) {
    if (bar == shown) {
      bar->setVisible(tlbHost->button(key)->isChecked());
      // A bar shown makes the window taller, which may take it past the screen's edge.
      if (isVisible()) QTimer::singleShot(0, this, &frmHost::keepOnScreen);
    } else {
      bar->hide();
      tlbHost->setPressed(QString::fromLatin1(barKey), false);
    }
  }
}

void frmHost::refuseWhileBusy(HostToolBar* bar, const QString& key) {
  lineTurn_->refuse();
  // The click has already flipped a check button: put it back.
  if (QAction* button = bar->button(key); button && button->isCheckable()) {
    bar->setPressed(key, !button->isChecked());
  }
}

}  // namespace tolvar
