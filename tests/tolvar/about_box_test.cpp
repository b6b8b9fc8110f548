#include <QCoreApplication>
#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>

#include <gtest/gtest.h>

#include "tolvar/dialogs/frm_about.h"
#include "tolvar/mainwindow/services/scripted_ui_services.h"

namespace tolvar {
namespace {

// The box reads the program's identity from the application; each test sets its own and puts
// the runner's back.
class AboutBox : public ::testing::Test {
 protected:
  void SetUp() override {
    QCoreApplication::setApplicationName("tolvar");
    QGuiApplication::setApplicationDisplayName("Tolvar Bench");
    QCoreApplication::setApplicationVersion("1.4.2");
  }
  void TearDown() override {
    QCoreApplication::setApplicationName(name_);
    QGuiApplication::setApplicationDisplayName(display_);
    QCoreApplication::setApplicationVersion(version_);
  }

  ScriptedUiServices ui;

 private:
  QString name_ = QCoreApplication::applicationName();
  QString display_ = QGuiApplication::applicationDisplayName();
  QString version_ = QCoreApplication::applicationVersion();
};

TEST_F(AboutBox, ShowsTitleVersionAndProduct) {
  frmAbout box(ui);
  EXPECT_EQ(box.windowTitle(), "About Tolvar Bench");
  EXPECT_EQ(box.lblVersion->text(), "Version 1.4.2");
  EXPECT_EQ(box.lblTitle->text(), "Tolvar Bench");
  EXPECT_FALSE(box.lblDescription->text().isEmpty());
  EXPECT_EQ(box.cmdSysInfo->text(), "&System Info...");

  QCoreApplication::setApplicationVersion("2.5");
  EXPECT_EQ(frmAbout(ui).lblVersion->text(), "Version 2.5.0");
}

TEST_F(AboutBox, OkClosesTheBox) {
  frmAbout box(ui);
  box.show();
  box.cmdOK->click();
  EXPECT_FALSE(box.isVisible());
  EXPECT_EQ(box.result(), QDialog::Accepted);
}

TEST_F(AboutBox, SystemInfoShowsWhatIsKnown) {
  frmAbout box(ui, [] {
    return SystemFacts{"Debian GNU/Linux 12", "6.4.2", {"/dev/ttyS0", "/dev/ttyUSB0"}};
  });
  box.cmdSysInfo->click();
  ASSERT_EQ(ui.messages().size(), 1u);
  EXPECT_EQ(ui.messages()[0].text,
            "Operating system: Debian GNU/Linux 12\r\nQt version: 6.4.2\r\n"
            "Serial ports: /dev/ttyS0, /dev/ttyUSB0");
  EXPECT_EQ(ui.messages()[0].title, "Tolvar");

  EXPECT_EQ(systemInfoText({"", "6.4.2", {}}), "Qt version: 6.4.2\r\nSerial ports: none found");
}

TEST_F(AboutBox, SystemInfoUnavailableWhenNothingIsKnown) {
  frmAbout box(ui, [] { return SystemFacts{}; });
  box.cmdSysInfo->click();
  ASSERT_EQ(ui.messages().size(), 1u);
  EXPECT_EQ(ui.messages()[0].text, "System Information Is Unavailable At This Time");
  EXPECT_EQ(ui.messages()[0].buttons, MsgButtons::Ok);
}

TEST(SystemFacts, DescribeThisMachine) {
  const SystemFacts facts = gatherSystemFacts();
  EXPECT_FALSE(facts.os.isEmpty());
  EXPECT_EQ(facts.qtVersion, QString::fromLatin1(qVersion()));
  EXPECT_FALSE(systemInfoText(facts).isEmpty());
}

}  // namespace
}  // namespace tolvar
