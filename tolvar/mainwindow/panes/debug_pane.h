#pragma once
// "Debug Data": the last command and reply frames as they were on the line, in hexadecimal or
// as characters; where the link encrypts, the frame in the clear beside each.

#include <QByteArray>
#include <QGroupBox>

class QLabel;
class QPlainTextEdit;
class QRadioButton;

namespace tolvar {

class DebugPane : public QGroupBox {
  Q_OBJECT

 public:
  explicit DebugPane(QWidget* body);

  // One frame: its bytes on the line and the same frame in the clear (equal without encryption).
  struct Frame {
    QByteArray line;
    QByteArray clear;
  };

  bool hexadecimal() const;
  bool empty() const;
  // Shows the frames in the form chosen; the other form redraws them.
  void showFrames(const Frame& command, const Frame& reply);
  void clearFrames();
  // A frame's text: upper-case hexadecimal pairs, or its bytes as characters with a dot for each
  // one that does not print; "clear:" and the clear frame on a line of its own when it differs.
  static QString frameText(const Frame& frame, bool hexadecimal);

  QRadioButton* optHex;
  QRadioButton* optAscii;
  QLabel* lblCommandCaption;  // lblCaption_4
  QPlainTextEdit* txtCommand;
  QLabel* lblReplyCaption;  // lblCaption_2
  QPlainTextEdit* txtReply;

 signals:
  // The user chose the other form.
  void hexadecimalChanged(bool hex);

 private:
  void redraw();

  Frame command_;
  Frame reply_;
};

}  // namespace tolvar
