#include "tolvar/dialogs/frm_about.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSysInfo>
#include <QVBoxLayout>
#include <QVersionNumber>

#include "tolvar/dialogs/frm_options.h"

namespace tolvar {

namespace {

const QString kDescription = QStringLiteral("Test bench for ccTalk bank note validators");

}  // namespace

SystemFacts gatherSystemFacts() {
  return {
      QSysInfo::prettyProductName() + QStringLiteral(" (%1 %2, %3)")
                                          .arg(QSysInfo::kernelType(), QSysInfo::kernelVersion(),
                                               QSysInfo::currentCpuArchitecture()),
      QString::fromLatin1(qVersion()), machineSerialPorts()};
}

QString systemInfoText(const SystemFacts& facts) {
  if (facts.os.isEmpty() && facts.qtVersion.isEmpty() && facts.serialPorts.isEmpty()) return {};
  QStringList lines;
  if (!facts.os.isEmpty()) lines << QStringLiteral("Operating system: ") + facts.os;
  if (!facts.qtVersion.isEmpty()) lines << QStringLiteral("Qt version: ") + facts.qtVersion;
  lines << QStringLiteral("Serial ports: ") + (facts.serialPorts.isEmpty()
                                                   ? QStringLiteral("none found")
                                                   : facts.serialPorts.join(QStringLiteral(", ")));
  return lines.join(QStringLiteral("\r\n"));
}

frmAbout::frmAbout(UiServices& ui, std::function<SystemFacts()> facts, QWidget* parent)
    : QDialog(parent),
      lblVersion(new QLabel(this)),
      lblTitle(new QLabel(QGuiApplication::applicationDisplayName(), this)),
      lblDescription(new QLabel(kDescription, this)),
      cmdOK(new QPushButton(tr("OK"), this)),
      cmdSysInfo(new QPushButton(tr("&System Info..."), this)),
      ui_(ui),
      facts_(std::move(facts)) {
  setWindowTitle(QStringLiteral("About ") + QGuiApplication::applicationDisplayName());
  // The program sets its version from the build; a missing part reads as 0.
  const QVersionNumber version = QVersionNumber::fromString(QCoreApplication::applicationVersion());
  lblVersion->setText(QStringLiteral("Version %1.%2.%3")
                          .arg(version.majorVersion())
                          .arg(version.minorVersion())
                          .arg(version.microVersion()));
  QFont titleFont = lblTitle->font();
  titleFont.setBold(true);
  titleFont.setPointSizeF(titleFont.pointSizeF() * 1.5);
  lblTitle->setFont(titleFont);
  lblDescription->setWordWrap(true);
  cmdOK->setDefault(true);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(cmdOK);
  buttons->addWidget(cmdSysInfo);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(lblTitle);
  layout->addWidget(lblVersion);
  layout->addWidget(lblDescription);
  layout->addStretch();
  layout->addLayout(buttons);

  // OK is both the default and the cancel button: Enter and Esc close the box alike.
  connect(cmdOK, &QPushButton::clicked, this, &QDialog::accept);
  connect(cmdSysInfo, &QPushButton::clicked, this, &frmAbout::StartSysInfo);
}

void frmAbout::StartSysInfo() {
  const QString text = systemInfoText(facts_());
  if (text.isEmpty()) {
    ui_.messageBox(QStringLiteral("System Information Is Unavailable At This Time"), kMessageTitle,
                   MsgIcon::None);
  } else {
    ui_.messageBox(text, kMessageTitle, MsgIcon::Information);
  }
}

void showAboutBox(QWidget* parent, UiServices& ui) {
  frmAbout box(ui, gatherSystemFacts, parent);
  ui.runDialog(box);
}

}  // namespace tolvar
