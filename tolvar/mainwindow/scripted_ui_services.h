#pragma once
// UI services for tests: answers come from queues, every box shown is recorded, nothing blocks.

#include <deque>
#include <vector>

#include "tolvar/mainwindow/ui_services.h"

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

  MsgResult messageBox(const QString& text, const QString& title, MsgIcon icon,
                       MsgButtons buttons = MsgButtons::Ok) override;
  QString inputBox(const QString& prompt, const QString& title,
                   const QString& defaultText) override;
  void setBusy(bool busy) override;

  const std::vector<Shown>& shown() const { return shown_; }
  std::vector<Shown> messages() const;
  void clearShown() { shown_.clear(); }
  bool busy() const { return busyDepth_ > 0; }
  // How often the busy pointer was switched on.
  int busyCount() const { return busyCount_; }
  std::size_t pendingInputs() const { return inputs_.size(); }

 private:
  std::deque<MsgResult> messageAnswers_;
  std::deque<QString> inputs_;
  std::vector<Shown> shown_;
  int busyDepth_ = 0;
  int busyCount_ = 0;
};

}  // namespace tolvar
