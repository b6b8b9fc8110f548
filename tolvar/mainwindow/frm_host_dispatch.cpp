// Toolbar clicks: bar toggles, the turn on the line, and the key to command tables.
#include <QAction>
#include <QApplication>

#include "tolvar/mainwindow/data_views.h"
#include "tolvar/mainwindow/frm_host.h"
#include "tolvar/mainwindow/host_commands.h"
#include "tolvar/mainwindow/host_toolbar.h"
#include "tolvar/mainwindow/note_enabling.h"
#include "tolvar/mainwindow/polling.h"
#include "tolvar/mainwindow/utility_commands.h"

namespace tolvar {

void frmHost::onToolBarKey(HostToolBar* bar, const QString& key) {
  if (bar == tlbHost) {
    if (key == QLatin1String("Enable_Bar")) return toggleBar(tlbEnable, key);
    if (key == QLatin1String("Utilities_Bar")) return toggleBar(tlbUtility, key);
    if (key == QLatin1String("Diag_Bar")) return toggleBar(tlbDiagnostic, key);
    // Stopping sends nothing, so it is never refused.
    if (key == QLatin1String("Poll_BNV") && !tlbHost->button(key)->isChecked()) {
      return polling_->TogglePolling(false);
    }
  }
  // A click that arrives while a transaction waits for its reply gets its turn afterwards.
  if (commandRunning()) {
    if (!whenLineFree([this, bar, key] { onToolBarKey(bar, key); })) refuseWhileBusy(bar, key);
    return;
  }
  if (bar == tlbUtility || bar == tlbDiagnostic) {
    // These procedures take their own command scope.
    return utilityCommands_->handleKey(key);
  }
  CommandScope scope(*this);
  if (bar == tlbHost) {
    dispatchHostKey(key);
  } else if (bar == tlbEnable) {
    dispatchEnableKey(key);
  }
}

void frmHost::dispatchHostKey(const QString& key) {
  if (key == QLatin1String("Simple_Poll")) {
    hostCommands_->SendSimplePoll();
  } else if (key == QLatin1String("Reset")) {
    hostCommands_->ResetValidator();
  } else if (key == QLatin1String("Unit_Data")) {
    dataViews_->ReadUnitData();
  } else if (key == QLatin1String("Note_Data")) {
    dataViews_->ReadNoteData();
  } else if (key == QLatin1String("Poll_BNV")) {
    polling_->TogglePolling(tlbHost->button(key)->isChecked());
  } else if (key == QLatin1String("Modify_Key")) {
    hostCommands_->ChangeKeyCode();
  } else if (key == QLatin1String("Save_Key")) {
    hostCommands_->SaveKeyCode();
  } else if (key == QLatin1String("Options")) {
    hostCommands_->ShowOptions();
  } else if (key == QLatin1String("Help_About")) {
    hostCommands_->ShowAbout();
  }
}

void frmHost::dispatchEnableKey(const QString& key) {
  NoteEnabling& notes = *noteEnabling_;
  if (key == QLatin1String("Enable_N")) {
    notes.EnableSelectedNotes();
  } else if (key == QLatin1String("Show_Enabled")) {
    notes.ShowEnabledNotes();
  } else if (key == QLatin1String("Enable_All")) {
    notes.EnableAllNotes();
  } else if (key == QLatin1String("Read_Mask")) {
    notes.ReadCountryMask();
  } else if (key == QLatin1String("Enable_Cntry")) {
    notes.EnableCountryNotes();
  } else if (key == QLatin1String("Mod_Security")) {
    notes.ModifyNoteSecurity();
  } else if (key == QLatin1String("Read_Scale")) {
    notes.ReadCountryScale();
  } else if (key == QLatin1String("Note_Insert")) {
    notes.ReadInsertCount();
  } else if (key == QLatin1String("Note_Accept")) {
    notes.ReadAcceptCount();
  }
}

void frmHost::toggleBar(HostToolBar* shown, const QString& key) {
  const std::pair<HostToolBar*, const char*> bars[] = {
      {tlbEnable, "Enable_Bar"}, {tlbUtility, "Utilities_Bar"}, {tlbDiagnostic, "Diag_Bar"}};
  for (const auto& [bar, barKey] : bars) {
    if (bar == shown) {
      bar->setVisible(tlbHost->button(key)->isChecked());
    } else {
      bar->hide();
      tlbHost->setPressed(QString::fromLatin1(barKey), false);
    }
  }
}

void frmHost::refuseWhileBusy(HostToolBar* bar, const QString& key) {
  QApplication::beep();
  // The click has already flipped a check button: put it back.
  if (bar) {
    if (QAction* button = bar->button(key); button && button->isCheckable()) {
      bar->setPressed(key, !button->isChecked());
    }
  }
}

}  // namespace tolvar
