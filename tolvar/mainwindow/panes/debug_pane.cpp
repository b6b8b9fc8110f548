#include "tolvar/mainwindow/panes/debug_pane.h"

#include <cstdint>

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
  connect(optHex, &QRadioButton::toggled, this, [this](bool hex) {
    // Boxes the user emptied or that hold nothing stay so.
    if (!empty()) redraw();
    emit hexadecimalChanged(hex);
  });
}

bool DebugPane::hexadecimal() const {
  return optHex->isChecked();
}

bool DebugPane::empty() const {
  return txtCommand->toPlainText().isEmpty() && txtReply->toPlainText().isEmpty();
}

QString DebugPane::frameText(const Frame& frame, bool hexadecimal) {
  const auto text = [hexadecimal](const QByteArray& bytes) {
    QString shown;
    for (const char c : bytes) {
      const auto byte = static_cast<std::uint8_t>(c);
      if (hexadecimal) {
        shown += QStringLiteral("%1 ").arg(byte, 2, 16, QLatin1Char('0')).toUpper();
      } else {
        shown += byte >= 0x20 && byte < 0x7F ? QChar(byte) : QLatin1Char('.');
      }
    }
    return shown;
  };
  QString shown = text(frame.line);
  if (!frame.clear.isEmpty() && frame.clear != frame.line) {
    shown += QStringLiteral("\nclear: ") + text(frame.clear);
  }
  return shown;
}

void DebugPane::showFrames(const Frame& command, const Frame& reply) {
  command_ = command;
  reply_ = reply;
  redraw();
}

void DebugPane::redraw() {
  txtCommand->setPlainText(frameText(command_, hexadecimal()));
  txtReply->setPlainText(frameText(reply_, hexadecimal()));
}

void DebugPane::clearFrames() {
  command_ = {};
  reply_ = {};
  txtCommand->clear();
  txtReply->clear();
}

}  // namespace tolvar
