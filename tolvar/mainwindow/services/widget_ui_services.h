#pragma once
// The UI services on real Qt widgets: modal boxes parented to the main window.

#include <QPointer>
#include <QWidget>

#include "tolvar/mainwindow/services/ui_services.h"

namespace tolvar {

class WidgetUiServices : public UiServices {
 public:
  explicit WidgetUiServices(QWidget* parent = nullptr) : parent_(parent) {}
  void setParent(QWidget* parent) { parent_ = parent; }

  MsgResult messageBox(const QString& text, const QString& title, MsgIcon icon,
                       MsgButtons buttons = MsgButtons::Ok) override;
  QString inputBox(const QString& prompt, const QString& title,
                   const QString& defaultText) override;
  void runDialog(QDialog& dialog) override;
  void setBusy(bool busy) override;
  QString saveFileName(const QString& title, const QString& filters,
                       const QString& proposed) override;
  QString openFileName(const QString& title, const QString& filters) override;

  // For a program that must end on its own (--quit-after): the boxes open now are closed as by
  // Esc, and later boxes are not shown; their text goes to standard error and they answer as
  // if cancelled.
  void stopAsking();

 private:
  int execWithNormalPointer(QDialog& dialog);

  QPointer<QWidget> parent_;
  int busyDepth_ = 0;
  bool asking_ = true;
};

}  // namespace tolvar
