#include "tolvar/mainwindow/panes/debug_pane.h"

#include <QFont>
#include <QLabel>
#include <QPlainTextEdit>
#include <QRadioButton>

#include "tolvar/mainwindow/window/form_parts.h"
#include "tolvar/mainwindow/window/twips.h"

namespace tolvar {

DebugPane::DebugPane(QWidget* body) : QGroupBox(QStringLiteral("Debug Data"), body) {
  setObjectName(QStringLiteral("fraDebug"));
  setGeometry(bodyRect(7800, 5520, 3975, 2295));
  optHex = new QRadioButton(QStringLiteral("Hex"), this);
  optHex->setObjectName(QStringLiteral("optHex"));
  optHex->setGeometry(twipsRect(1800, 240, 735, 255));
  optHex->setChecked(true);
  optAscii = new QRadioButton(QStringLiteral("ASCII"), this);
  optAscii->setObjectName(QStringLiteral("optAscii"));
  optAscii->setGeometry(twipsRect(2760, 240, 1095, 255));
  lblCommandCaption =
      captionLabel(this, 4, "Command string sent:", twipsRect(120, 600, 1035, 390), true);
  txtCommand = new QPlainTextEdit(this);
  txtCommand->setObjectName(QStringLiteral("txtCommand"));
  txtCommand->setGeometry(twipsRect(1080, 600, 2775, 555));
  lblReplyCaption =
      captionLabel(this, 2, "Reply string received:", twipsRect(120, 1320, 930, 600), true);
  txtReply = new QPlainTextEdit(this);
  txtReply->setObjectName(QStringLiteral("txtReply"));
  txtReply->setGeometry(twipsRect(1080, 1320, 2775, 795));
  for (QPlainTextEdit* box : {txtCommand, txtReply}) {
    box->setFont(QFont(QStringLiteral("Monospace"), 8));
    box->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  }
  connect(optHex, &QRadioButton::toggled, this, &DebugPane::hexadecimalChanged);
}

bool DebugPane::hexadecimal() const {
  return optHex->isChecked();
}

bool DebugPane::empty() const {
  return txtCommand->toPlainText().isEmpty() && txtReply->toPlainText().isEmpty();
}

void DebugPane::showFrames(const QString& command, const QString& reply) {
  txtCommand->setPlainText(command);
  txtReply->setPlainText(reply);
}

void DebugPane::clearFrames() {
  txtCommand->clear();
  txtReply->clear();
}

}  // namespace tolvar
