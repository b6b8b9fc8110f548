// The toolbars: one table of every button on the four bars (its caption, key, tool tip, style and
// shortcut, and what a click does), the bars built from it, the bar toggles and the turn on the
// line.
#include <vector>

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
}  // namespace

enum class frmHost::Bar { Host, Enable, Utility, Diagnostic };

// A line action waits for the line and runs inside its scope; the others run at once.
enum class frmHost::Turn { AtOnce, OnTheLine };

struct frmHost::ToolBarRow {
  Bar bar;
  ToolButtonSpec button;
  Turn turn;
  void (*run)(frmHost& w);
};

std::span<const frmHost::ToolBarRow> frmHost::toolBarTable() {
  constexpr ButtonStyle B = ButtonStyle::Button;
  constexpr ButtonStyle C = ButtonStyle::Check;
  constexpr Turn Line = Turn::OnTheLine;
  constexpr Turn Now = Turn::AtOnce;
  constexpr ToolButtonSpec kSeparator{"", "", "", ButtonStyle::Separator, ""};
  constexpr auto none = [](frmHost&) {};
  // Every button has a key: the host bar's are Alt and a letter of the caption; a secondary
  // bar's are Ctrl and its position, shared by the three bars since one shows at a time (a
  // hidden bar's keys do nothing).
  static const ToolBarRow kRows[] = {
      {Bar::Host,
       {"Simple Poll", "Simple_Poll", "Ping Slave with Simple Poll", B, "Alt+S"},
       Line,
       [](frmHost& w) { w.hostCommands_->SendSimplePoll(); }},
      {Bar::Host,
       {"Reset BNV", "Reset", "Reset the BNV", B, "Alt+R"},
       Line,
       [](frmHost& w) { w.hostCommands_->ResetValidator(); }},
      {Bar::Host, kSeparator, Now, none},
      {Bar::Host,
       {"Unit Data", "Unit_Data", "Read Unit Data", B, "Alt+U"},
       Line,
       [](frmHost& w) { w.dataViews_->ReadUnitData(); }},
      // A new table shows which notes the validator has enabled, read back from it.
      {Bar::Host,
       {"Note Data", "Note_Data", "Read the Currency Data", B, "Alt+D"},
       Line,
       [](frmHost& w) {
         if (w.dataViews_->ReadNoteData()) w.noteEnabling_->refreshNoteMask();
       }},
      {Bar::Host, kSeparator, Now, none},
      {Bar::Host,
       {"Note Opt'n", "Enable_Bar", "Show Options to Enable Notes etc.", C, "Alt+N"},
       Now,
       [](frmHost& w) { w.toggleBar(w.tlbEnable, QStringLiteral("Enable_Bar")); }},
      {Bar::Host,
       {"Utilities", "Utilities_Bar", "", C, "Alt+T"},
       Now,
       [](frmHost& w) { w.toggleBar(w.tlbUtility, QStringLiteral("Utilities_Bar")); }},
      {Bar::Host,
       {"Diagn'stc", "Diag_Bar", "Use Diagnostic Commands", C, "Alt+G"},
       Now,
       [](frmHost& w) { w.toggleBar(w.tlbDiagnostic, QStringLiteral("Diag_Bar")); }},
      {Bar::Host, kSeparator, Now, none},
      {Bar::Host,
       {"Poll BNV", "Poll_BNV", "Poll for Buffered Events", C, "Alt+P"},
       Line,
       [](frmHost& w) { w.polling_->TogglePolling(w.tlbHost->button(kPollKey)->isChecked()); }},
      {Bar::Host, kSeparator, Now, none},
      {Bar::Host,
       {"Modify Key", "Modify_Key", "Changes the dynamic key", B, "Alt+K"},
       Line,
       [](frmHost& w) { w.hostCommands_->ChangeKeyCode(); }},
      {Bar::Host,
       {"Save Key", "Save_Key", "BNV will save the current dynamic key", B, "Alt+Y"},
       Line,
       [](frmHost& w) { w.hostCommands_->SaveKeyCode(); }},
      {Bar::Host, kSeparator, Now, none},
      {Bar::Host,
       {"Options", "Options", "Set Program Options", B, "Alt+O"},
       Line,
       [](frmHost& w) { w.ShowOptions(); }},
      {Bar::Host, {"About", "Help_About", "", B, "F1"}, Line, [](frmHost& w) { w.ShowAbout(); }},

      {Bar::Enable,
       {"En'bl Note", "Enable_N", "Enable the Selected Notes", B, "Ctrl+1"},
       Line,
       [](frmHost& w) { w.noteEnabling_->EnableSelectedNotes(); }},
      {Bar::Enable,
       {"Show En'd", "Show_Enabled", "Show which notes are enabled", B, "Ctrl+2"},
       Line,
       [](frmHost& w) { w.noteEnabling_->ShowEnabledNotes(); }},
      {Bar::Enable,
       {"Enable All", "Enable_All", "Enable All Notes", B, "Ctrl+3"},
       Line,
       [](frmHost& w) { w.noteEnabling_->EnableAllNotes(); }},
      {Bar::Enable,
       {"Bill Pos'n", "Read_Mask", "Return a Mask for Bill Position for a given country", B,
        "Ctrl+4"},
       Line,
       [](frmHost& w) { w.noteEnabling_->ReadCountryMask(); }},
      {Bar::Enable,
       {"En'bl Cntry", "Enable_Cntry", "Enables All Notes for a Specified Country", B, "Ctrl+5"},
       Line,
       [](frmHost& w) { w.noteEnabling_->EnableCountryNotes(); }},
      {Bar::Enable, kSeparator, Now, none},
      {Bar::Enable,
       {"Mod Secr'ty", "Mod_Security", "Modify the Security Setting for a Note", B, "Ctrl+6"},
       Line,
       [](frmHost& w) { w.noteEnabling_->ModifyNoteSecurity(); }},
      {Bar::Enable, kSeparator, Now, none},
      {Bar::Enable,
       {"Get Scale", "Read_Scale", "", B, "Ctrl+7"},
       Line,
       [](frmHost& w) { w.noteEnabling_->ReadCountryScale(); }},
      {Bar::Enable, kSeparator, Now, none},
      {Bar::Enable,
       {"#Inserts", "Note_Insert", "Read total notes inserted", B, "Ctrl+8"},
       Line,
       [](frmHost& w) { w.noteEnabling_->ReadInsertCount(); }},
      {Bar::Enable,
       {"#Accepts", "Note_Accept", "Read total notes accepted", B, "Ctrl+9"},
       Line,
       [](frmHost& w) { w.noteEnabling_->ReadAcceptCount(); }},

      {Bar::Utility,
       {"Clear Rx", "Clear_Comms", "Clear Comms Error Stats", B, "Ctrl+1"},
       Line,
       [](frmHost& w) { w.utilityCommands_->ClearCommsStats(); }},
      {Bar::Utility,
       {"Read Rx", "Read_Rx", "Read Comms Error Stats", B, "Ctrl+2"},
       Line,
       [](frmHost& w) { w.utilityCommands_->ReadCommsStats(); }},
      {Bar::Utility, kSeparator, Now, none},
      {Bar::Utility,
       {"Read Inh't", "Read_M_Inh", "Read Master Inhibit Status", B, "Ctrl+3"},
       Line,
       [](frmHost& w) { w.utilityCommands_->ReadMasterInhibit(); }},
      {Bar::Utility,
       {"Inhibit OFF", "Set_M_Inh1", "Set Master Inhibit Status OFF", C, "Ctrl+4"},
       Line,
       [](frmHost& w) { w.utilityCommands_->WriteMasterInhibit(1); }},
      {Bar::Utility,
       {"Inhibit ON", "Set_M_Inh2", "Set Master Inhibit Status ON", B, "Ctrl+5"},
       Line,
       [](frmHost& w) { w.utilityCommands_->WriteMasterInhibit(0); }},
      {Bar::Utility,
       {"Read Mode", "Read_Bill_Mode", "Read the Bill Operating Mode", B, "Ctrl+6"},
       Line,
       [](frmHost& w) { w.utilityCommands_->ReadBillMode(); }},
      {Bar::Utility,
       {"Set Mode", "Set_Bill_Mode", "Set the Bill Operating Mode", B, "Ctrl+7"},
       Line,
       [](frmHost& w) { w.utilityCommands_->WriteBillMode(); }},
      {Bar::Utility, kSeparator, Now, none},
      {Bar::Utility,
       {"Addr Poll", "Addr_Poll", "Polls all devices on the network for their address", B,
        "Ctrl+8"},
       Line,
       [](frmHost& w) { w.PollAddresses(); }},
      {Bar::Utility,
       {"Addr Clash", "Addr_Clash", "Polls all devices on the network for their address", B,
        "Ctrl+9"},
       Line,
       [](frmHost& w) { w.PollAddressClash(); }},
      {Bar::Utility,
       {"New Addr", "Addr_Change", "Use to change the device address", B, "Ctrl+0"},
       Line,
       [](frmHost& w) { w.utilityCommands_->ChangeSlaveAddress(); }},
      {Bar::Utility,
       {"Addr Rndm", "Addr_Random", "Use to set to a new random address", B, "Ctrl+-"},
       Line,
       [](frmHost& w) { w.utilityCommands_->RandomizeSlaveAddress(); }},

      {Bar::Diagnostic,
       {"Motor Fwd", "Motor_Fwd", "Drive Validator Motor Forward", B, "Ctrl+1"},
       Line,
       [](frmHost& w) { w.utilityCommands_->DriveMotors(1, 1); }},
      {Bar::Diagnostic,
       {"Motor Stop", "Motor_Stop", "Stop the Motor", B, "Ctrl+2"},
       Line,
       [](frmHost& w) { w.utilityCommands_->DriveMotors(0, 0); }},
      {Bar::Diagnostic,
       {"Motor Back", "Motor_Back", "Drive Validator Motor Backwards", B, "Ctrl+3"},
       Line,
       [](frmHost& w) { w.utilityCommands_->DriveMotors(1, 0); }},
      {Bar::Diagnostic, kSeparator, Now, none},
      {Bar::Diagnostic,
       {"Stacker", "Stacker", "Cycle the Stacker", B, "Ctrl+4"},
       Line,
       [](frmHost& w) { w.utilityCommands_->TestStacker(); }},
      {Bar::Diagnostic, kSeparator, Now, none},
      {Bar::Diagnostic,
       {"Self test", "Self_Test", "Run Validator Self Test", B, "Ctrl+5"},
       Line,
       [](frmHost& w) { w.utilityCommands_->RunValidatorSelfTest(); }},
  };
  return kRows;
}

void frmHost::buildToolBars() {
  const struct {
    HostToolBar** bar;
    Bar which;
    const char* name;
  } bars[] = {{&tlbHost, Bar::Host, "tlbHost"},
              {&tlbEnable, Bar::Enable, "tlbEnable"},
              {&tlbUtility, Bar::Utility, "tlbUtility"},
              {&tlbDiagnostic, Bar::Diagnostic, "tlbDiagnostic"}};
  for (const auto& [bar, which, name] : bars) {
    std::vector<ToolButtonSpec> buttons;
    for (const ToolBarRow& row : toolBarTable()) {
      if (row.bar == which) buttons.push_back(row.button);
    }
    *bar = new HostToolBar(QLatin1String(name), buttons, this);
  }
}

void frmHost::onToolBarKey(HostToolBar* bar, const QString& key) {
  const ToolBarRow* action = nullptr;
  for (const ToolBarRow& row : toolBarTable()) {
    if (row.button.style != ButtonStyle::Separator && key == QLatin1String(row.button.key)) {
      action = &row;
    }
  }
  if (!action) return;
  // Stopping sends nothing, so it is never refused.
  if (key == kPollKey && !tlbHost->button(key)->isChecked()) return polling_->TogglePolling(false);
  if (action->turn == Turn::AtOnce) return action->run(*this);
  // A click that arrives while a transaction waits for its reply gets its turn afterwards.
  if (lineTurn_->running()) {
    if (!lineTurn_->whenFree([this, bar, key] { onToolBarKey(bar, key); })) {
      refuseWhileBusy(bar, key);
    }
    return;
  }
  const LineTurn::Scope scope(*lineTurn_);
  action->run(*this);
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
