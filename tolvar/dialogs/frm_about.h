#pragma once
// The About box: title, version, product and description, and a summary of the platform.

#include <functional>

#include <QDialog>
#include <QStringList>

#include "tolvar/mainwindow/services/ui_services.h"

class QLabel;
class QPushButton;

namespace tolvar {

// What the "System Info..." button can tell about the machine; empty fields are unknown.
struct SystemFacts {
  QString os;
  QString qtVersion;
  QStringList serialPorts;
};

SystemFacts gatherSystemFacts();
// Lines joined by "\r\n"; empty when nothing is known.
QString systemInfoText(const SystemFacts& facts);

class frmAbout : public QDialog {
  Q_OBJECT

 public:
  // `facts` is asked only when the user presses "System Info...".
  frmAbout(UiServices& ui, std::function<SystemFacts()> facts = gatherSystemFacts,
           QWidget* parent = nullptr);

  QLabel* lblVersion;
  QLabel* lblTitle;
  QLabel* lblDescription;
  QPushButton* cmdOK;
  QPushButton* cmdSysInfo;

  void StartSysInfo();

 private:
  UiServices& ui_;
  std::function<SystemFacts()> facts_;
};

// Shows the About box modally.
void showAboutBox(QWidget* parent, UiServices& ui);

}  // namespace tolvar
