#pragma once
// Every modal box of the test bench goes through this interface, so tests script the answers
// and never block on a dialog.

#include <QString>
#include <QStringList>

class QDialog;

namespace tolvar {

// The program's name: the title of the bench's own message and input boxes, and the start of the
// window's title.
inline const QString kMessageTitle = QStringLiteral("Tolvar");

enum class MsgIcon { None, Exclamation, Critical, Warning, Information };
enum class MsgButtons { Ok, YesNoCancel };
enum class MsgResult { Ok, Yes, No, Cancel };

class UiServices {
 public:
  virtual ~UiServices() = default;
  // Lines of `text` are joined by "\r\n" as the callers build them; implementations show them
  // as line breaks.
  virtual MsgResult messageBox(const QString& text, const QString& title, MsgIcon icon,
                               MsgButtons buttons = MsgButtons::Ok) = 0;
  // The text entered, or an empty text when cancelled.
  virtual QString inputBox(const QString& prompt, const QString& title,
                           const QString& defaultText) = 0;
  // Shows `dialog` modally and returns once it is closed; its result is read from the dialog.
  virtual void runDialog(QDialog& dialog) = 0;
  // Hourglass pointer on or off.
  virtual void setBusy(bool busy) = 0;
  // A file name to save to, chosen by the user; empty when cancelled. `filters` as Qt writes
  // them: "Text (*.txt);;CSV (*.csv)"; `proposed` is the name offered first.
  virtual QString saveFileName(const QString& title, const QString& filters,
                               const QString& proposed) = 0;
  // An existing file to open, chosen by the user; empty when cancelled.
  virtual QString openFileName(const QString& title, const QString& filters) = 0;
};

}  // namespace tolvar
