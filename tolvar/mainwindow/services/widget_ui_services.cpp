#include "tolvar/mainwindow/services/widget_ui_services.h"

#include <cstdio>

#include <QApplication>
#include <QDialog>
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
  if (!asking_) {
    std::fprintf(stderr, "tolvar: %s: %s\n", qPrintable(title), qPrintable(asLines(text)));
    return buttons == MsgButtons::YesNoCancel ? MsgResult::Cancel : MsgResult::Ok;
  }
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
  if (!asking_) return {};
  bool ok = false;
  const QString text =
      QInputDialog::getText(parent_, title, asLines(prompt), QLineEdit::Normal, defaultText, &ok);
  return ok ? text : QString();
}

void WidgetUiServices::runDialog(QDialog& dialog) {
  if (asking_) execWithNormalPointer(dialog);
}

void WidgetUiServices::stopAsking() {
  asking_ = false;
  for (QWidget* window : QApplication::topLevelWidgets()) {
    if (auto* dialog = qobject_cast<QDialog*>(window); dialog && dialog->isVisible()) {
      dialog->reject();
    }
  }
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

QString WidgetUiServices::saveFileName(const QString& title, const QString& filters,
                                       const QString& proposed) {
  if (!asking_) return {};
  const bool wasBusy = busyDepth_ > 0;
  if (wasBusy) QApplication::restoreOverrideCursor();
  const QString path = QFileDialog::getSaveFileName(parent_, title, proposed, filters);
  if (wasBusy) QApplication::setOverrideCursor(Qt::WaitCursor);
  return path;
}

QString WidgetUiServices::openFileName(const QString& title, const QString& filters) {
  if (!asking_) return {};
  const bool wasBusy = busyDepth_ > 0;
  if (wasBusy) QApplication::restoreOverrideCursor();
  const QString path = QFileDialog::getOpenFileName(parent_, title, {}, filters);
  if (wasBusy) QApplication::setOverrideCursor(Qt::WaitCursor);
  return path;
}

}  // namespace tolvar
