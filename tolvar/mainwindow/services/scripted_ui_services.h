#pragma once
// UI services for tests: answers come from queues, every box shown is recorded, nothing blocks.

#include <deque>
#include <functional>
#include <vector>

#include <QDialog>

#include "tolvar/mainwindow/services/ui_services.h"

namespace tolvar {

class ScriptedUiServices : public UiServices {
 public:
  struct Shown {
    enum class Kind { Message, Input } kind;
    QString text;
    QString title;
    MsgIcon icon = MsgIcon::None;
    MsgButtons buttons = MsgButtons::Ok;
    QString defaultText;
  };

  // Answers in the order the boxes will be shown. An unscripted message box answers Ok, an
  // unscripted input box answers as if cancelled.
  void queueMessageAnswer(MsgResult answer) { messageAnswers_.push_back(answer); }
  void queueInput(const QString& text) { inputs_.push_back(text); }
  // The next save dialog answers `path`; an unscripted one answers as if cancelled.
  void queueSaveFileName(const QString& path) { saveNames_.push_back(path); }
  // The next open dialog answers `path`; an unscripted one answers as if cancelled.
  void queueOpenFileName(const QString& path) { openNames_.push_back(path); }

  // `user` acts on the next dialog shown, which must be a `Dialog`; a dialog of another class is
  // left alone. A dialog still open afterwards, or one nobody acts on, is closed as by Esc.
  template <class Dialog>
  void queueDialog(std::function<void(Dialog&)> user) {
    dialogUsers_.push_back([user = std::move(user)](QDialog& dialog) {
      if (auto* typed = qobject_cast<Dialog*>(&dialog)) user(*typed);
    });
  }

  MsgResult messageBox(const QString& text, const QString& title, MsgIcon icon,
                       MsgButtons buttons = MsgButtons::Ok) override;
  QString inputBox(const QString& prompt, const QString& title,
                   const QString& defaultText) override;
  void runDialog(QDialog& dialog) override;
  void setBusy(bool busy) override;
  QString saveFileName(const QString& title, const QString& filters,
                       const QString& proposed) override;
  QString openFileName(const QString& title, const QString& filters) override;

  const std::vector<Shown>& shown() const { return shown_; }
  std::vector<Shown> messages() const;
  void clearShown() { shown_.clear(); }
  bool busy() const { return busyDepth_ > 0; }
  // How often the busy pointer was switched on.
  int busyCount() const { return busyCount_; }
  std::size_t pendingInputs() const { return inputs_.size(); }
  // The window titles of the dialogs shown, in order.
  const QStringList& dialogs() const { return dialogs_; }
  // The names offered by each save box, in order.
  const QStringList& proposedSaveNames() const { return proposedSaveNames_; }

 private:
  std::deque<MsgResult> messageAnswers_;
  std::deque<QString> inputs_;
  std::deque<QString> saveNames_;
  std::deque<QString> openNames_;
  std::deque<std::function<void(QDialog&)>> dialogUsers_;
  QStringList dialogs_;
  QStringList proposedSaveNames_;
  std::vector<Shown> shown_;
  int busyDepth_ = 0;
  int busyCount_ = 0;
};

}  // namespace tolvar
