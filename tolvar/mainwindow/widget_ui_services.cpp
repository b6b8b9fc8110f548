#include "tolvar/mainwindow/widget_ui_services.h"

#include <QApplication>
#include <QFileDialog>
#include <QInputDialog>
#include <QMessageBox>

namespace tolvar {

namespace {

QString asLines(const QString& text) {
  return QString(text).replace(QStringLiteral("\r\n"), "\n");
}

QMessageBox::Icon toQtIcon(MsgIcon icon) {
  switch (icon) {
    case MsgIcon::Exclamation:
    case MsgIcon::Warning:
      return QMessageBox::Warning;
    case MsgIcon::Critical:
      return QMessageBox::Critical;
    case MsgIcon::Information:
      return QMessageBox::Information;
    case MsgIcon::None:
      break;
  }
  return QMessageBox::NoIcon;
}

}  // namespace

MsgResult WidgetUiServices::messageBox(const QString& text, const QString& title, MsgIcon icon,
                                       MsgButtons buttons) {
  QMessageBox box(toQtIcon(icon), title, asLines(text), QMessageBox::NoButton, parent_);
  if (buttons == MsgButtons::YesNoCancel) {
    box.setStandardButtons(QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
  } else {
    box.setStandardButtons(QMessageBox::Ok);
  }
  switch (execWithNormalPointer(box)) {
    case QMessageBox::Yes:
      return MsgResult::Yes;
    case QMessageBox::No:
      return MsgResult::No;
    case QMessageBox::Cancel:
      return MsgResult::Cancel;
    default:
      return MsgResult::Ok;
  }
}

QString WidgetUiServices::inputBox(const QString& prompt, const QString& title,
                                   const QString& defaultText) {
  bool ok = false;
  const QString text =
      QInputDialog::getText(parent_, title, asLines(prompt), QLineEdit::Normal, defaultText, &ok);
  return ok ? text : QString();
}

void WidgetUiServices::runDialog(QDialog& dialog) {
  execWithNormalPointer(dialog);
}

// A box raised from inside a command shows the normal pointer while it waits for the user.
int WidgetUiServices::execWithNormalPointer(QDialog& dialog) {
  const bool wasBusy = busyDepth_ > 0;
  if (wasBusy) QApplication::restoreOverrideCursor();
  const int answer = dialog.exec();
  if (wasBusy) QApplication::setOverrideCursor(Qt::WaitCursor);
  return answer;
}

void WidgetUiServices::setBusy(bool busy) {
  if (busy) {
    if (busyDepth_++ == 0) QApplication::setOverrideCursor(Qt::WaitCursor);
  } else if (busyDepth_ > 0 && --busyDepth_ == 0) {
    QApplication::restoreOverrideCursor();
  }
}

QString WidgetUiServices::saveFileName(const QString& title, const QString& filters) {
  const bool wasBusy = busyDepth_ > 0;
  if (wasBusy) QApplication::restoreOverrideCursor();
  const QString path = QFileDialog::getSaveFileName(parent_, title, QString(), filters);
  if (wasBusy) QApplication::setOverrideCursor(Qt::WaitCursor);
  return path;
}

}  // namespace tolvar
