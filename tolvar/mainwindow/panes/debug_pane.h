#pragma once
// "Debug Data": the last command and reply frames, in hexadecimal or as decimal byte values.

#include <QGroupBox>

class QLabel;
class QPlainTextEdit;
class QRadioButton;

namespace tolvar {

class DebugPane : public QGroupBox {
  Q_OBJECT

 public:
  explicit DebugPane(QWidget* body);

  bool hexadecimal() const;
  bool empty() const;
  void showFrames(const QString& command, const QString& reply);
  void clearFrames();

  QRadioButton* optHex;
  QRadioButton* optAscii;
  QLabel* lblCommandCaption;  // lblCaption_4
  QPlainTextEdit* txtCommand;
  QLabel* lblReplyCaption;  // lblCaption_2
  QPlainTextEdit* txtReply;

 signals:
  // The user chose the other form.
  void hexadecimalChanged(bool hex);
};

}  // namespace tolvar
