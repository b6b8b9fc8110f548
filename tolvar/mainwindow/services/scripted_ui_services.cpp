#include "tolvar/mainwindow/services/scripted_ui_services.h"

namespace tolvar {

MsgResult ScriptedUiServices::messageBox(const QString& text, const QString& title, MsgIcon icon,
                                         MsgButtons buttons) {
  shown_.push_back({Shown::Kind::Message, text, title, icon, buttons, {}});
  if (messageAnswers_.empty()) return MsgResult::Ok;
  const MsgResult answer = messageAnswers_.front();
  messageAnswers_.pop_front();
  return answer;
}

QString ScriptedUiServices::inputBox(const QString& prompt, const QString& title,
                                     const QString& defaultText) {
  shown_.push_back({Shown::Kind::Input, prompt, title, MsgIcon::None, MsgButtons::Ok, defaultText});
  if (inputs_.empty()) return {};
  QString answer = inputs_.front();
  inputs_.pop_front();
  return answer;
}

void ScriptedUiServices::runDialog(QDialog& dialog) {
  dialogs_ << dialog.windowTitle();
  dialog.show();
  if (!dialogUsers_.empty()) {
    const std::function<void(QDialog&)> user = std::move(dialogUsers_.front());
    dialogUsers_.pop_front();
    user(dialog);
  }
  if (dialog.isVisible()) dialog.reject();
}

void ScriptedUiServices::setBusy(bool busy) {
  if (busy) {
    ++busyDepth_;
    ++busyCount_;
  } else if (busyDepth_ > 0) {
    --busyDepth_;
  }
}

QString ScriptedUiServices::saveFileName(const QString&, const QString&, const QString& proposed) {
  proposedSaveNames_ << proposed;
  if (saveNames_.empty()) return {};
  QString path = saveNames_.front();
  saveNames_.pop_front();
  return path;
}

QString ScriptedUiServices::openFileName(const QString&, const QString&) {
  if (openNames_.empty()) return {};
  QString path = openNames_.front();
  openNames_.pop_front();
  return path;
}

std::vector<ScriptedUiServices::Shown> ScriptedUiServices::messages() const {
  std::vector<Shown> result;
  for (const Shown& box : shown_) {
    if (box.kind == Shown::Kind::Message) result.push_back(box);
  }
  return result;
}

}  // namespace tolvar
