// The Options and About buttons of the host bar: the dialogs as the window opens them, and what
// an accepted or cancelled options dialog does to the running link and to the settings file.
#include <functional>

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QFile>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>

#include "quennet/control/zav_quennet.h"
#include "support/pty_pair.h"
#include "tests/tolvar/bench_fixture.h"
#include "tolvar/app/program_identity.h"
#include "tolvar/dialogs/frm_about.h"
#include "tolvar/dialogs/frm_options.h"

using tolvar::frmAbout;
using tolvar::frmHost;
using tolvar::frmOptions;

namespace {

const QByteArray kStored = "Commport = 3\r\nPollInt = 200\r\nShwMsg = 1\r\nSnglStp = 0\r\n";
const QString kAck = QStringLiteral("BNV Reply: ACK");

QStringList entries(const QComboBox* box) {
  QStringList list;
  for (int i = 0; i < box->count(); ++i) list << box->itemText(i);
  return list;
}

class HostDialogs : public BenchOnSimulator {
 protected:
  // The window of a plain run: the port from the settings file and no virtual validator.
  frmHost& openOnStoredPort(const QByteArray& settingsText) {
    QFile file(settingsPath());
    EXPECT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(settingsText);
    file.close();
    host = std::make_unique<frmHost>(ui, tolvar::HostOptions{settingsPath(), {}});
    return *host;
  }

  // Clicks "Options" with `user` acting in the dialog; false when no options dialog came up.
  bool options(const std::function<void(frmOptions&)>& user) {
    bool shown = false;
    ui.queueDialog<frmOptions>([&](frmOptions& d) {
      shown = true;
      user(d);
    });
    click("tlbHost", "Options");
    return shown;
  }

  // Options accepted with the port list on `port`.
  bool choosePort(const QString& port) {
    return options([&](frmOptions& d) {
      const int index = d.cboCommPort->findText(port);
      ASSERT_GE(index, 0) << port.toStdString();
      d.cboCommPort->setCurrentIndex(index);
      d.cmdOK->click();
    });
  }

  QString simplePoll() {
    click("tlbHost", "Simple_Poll");
    return host->statusText();
  }

  QByteArray savedFile() {
    host->close();
    QFile file(settingsPath());
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
  }
};

TEST_F(HostDialogs, OptionsShowTheStoredSettingsAndCancelChangesNothing) {
  frmHost& w = openOnStoredPort(kStored + "MsgEcho = 0\r\n");
  const std::int16_t port = w.control()->CommPort();
  ASSERT_TRUE(options([&](frmOptions& d) {
    EXPECT_EQ(d.cboCommPort->currentText(), "COM3");
    EXPECT_EQ(d.txtPollInterval->text(), "200");
    EXPECT_TRUE(d.chkShowDebug->isChecked());
    EXPECT_FALSE(d.chkSingleStep->isChecked());
    EXPECT_FALSE(d.chkEchoMessage->isChecked());
    // A plain run has no virtual validator to offer.
    EXPECT_FALSE(entries(d.cboCommPort).contains(sim.slavePath()));
    d.cboCommPort->setCurrentIndex(0);
    d.txtPollInterval->setText("150");
    d.chkShowDebug->setChecked(false);
    d.chkSingleStep->setChecked(true);
    d.chkEchoMessage->setChecked(true);
    d.cmdCancel->click();
  }));
  EXPECT_EQ(ui.dialogs(), QStringList{"Tolvar Options"});
  EXPECT_EQ(w.control()->CommPort(), port);
  EXPECT_TRUE(w.control()->PortName().isEmpty());
  EXPECT_FALSE(w.control()->CommsEcho());
  EXPECT_FALSE(named<QGroupBox>(w, "fraDebug")->isHidden());
  const tolvar::HostSettings& kept = w.settings();
  EXPECT_EQ(kept.Commport, 3);
  EXPECT_EQ(kept.PollInt, 200);
  EXPECT_EQ(kept.ShwMsg, 1);
  EXPECT_FALSE(kept.SnglStp);
  EXPECT_EQ(kept.MsgEcho, 0);
}

TEST_F(HostDialogs, AcceptedPortIsUsedAtOnce) {
  PtyPair silent;  // a port that opens but where nothing answers
  frmHost& w = open(kStored + "PortName = " + silent.slaveName().toUtf8() + "\r\n");
  ASSERT_EQ(simplePoll(), kAck);
  ASSERT_TRUE(options([&](frmOptions& d) {
    // The port in use is the current choice, the user's own stays on offer.
    EXPECT_EQ(d.cboCommPort->currentText(), sim.slavePath());
    EXPECT_TRUE(entries(d.cboCommPort).contains(silent.slaveName()));
    d.cmdCancel->click();
  }));

  ASSERT_TRUE(choosePort(silent.slaveName()));
  EXPECT_EQ(w.control()->PortName(), silent.slaveName());
  EXPECT_EQ(w.control()->CommPort(), 3);
  const int frames = sim.framesReceived();
  EXPECT_NE(simplePoll(), kAck);
  EXPECT_EQ(sim.framesReceived(), frames);
  EXPECT_FALSE(silent.readMaster(500).empty()) << "the poll went out on the new port";

  ASSERT_TRUE(choosePort(sim.slavePath()));
  EXPECT_EQ(w.control()->PortName(), sim.slavePath());
  EXPECT_EQ(simplePoll(), kAck);
}

// A port that cannot be opened: the box names it, and the next good choice brings the control
// back; the failed device stays on offer.
TEST_F(HostDialogs, AGoodPortAfterAPortErrorBringsTheControlBack) {
  const QString missing = QStringLiteral("/dev/ttyQN9-missing");
  frmHost& w = open(kStored);
  ASSERT_TRUE(choosePort(sim.slavePath()));  // the list as a user sees it: no missing device yet
  ASSERT_TRUE(options([&](frmOptions& d) {
    d.cboCommPort->addItem(missing);  // as the machine listed it when it was plugged in
    d.cboCommPort->setCurrentIndex(d.cboCommPort->findText(missing));
    d.cmdOK->click();
  }));
  ASSERT_FALSE(ui.messages().empty());
  EXPECT_TRUE(ui.messages().back().text.contains(missing))
      << ui.messages().back().text.toStdString();
  EXPECT_FALSE(w.control()->Enabled());

  ASSERT_TRUE(choosePort(sim.slavePath()));
  EXPECT_TRUE(w.control()->Enabled());
  EXPECT_EQ(simplePoll(), kAck);
  ASSERT_TRUE(options([&](frmOptions& d) {
    EXPECT_TRUE(entries(d.cboCommPort).contains(missing));
    d.cmdCancel->click();
  }));
}

TEST_F(HostDialogs, AcceptedNumberedPortReplacesTheDevice) {
  frmHost& w = open(kStored);
  ASSERT_TRUE(choosePort("COM2"));
  EXPECT_EQ(w.control()->CommPort(), 2);
  EXPECT_TRUE(w.control()->PortName().isEmpty());
  const int frames = sim.framesReceived();
  EXPECT_NE(simplePoll(), kAck);
  EXPECT_EQ(sim.framesReceived(), frames);
}

TEST_F(HostDialogs, SimulatedPortIsNeverSavedAsTheUsersChoice) {
  struct Case {
    const char* name;
    QStringList choices;  // accepted in turn; the last is always the virtual validator
    QByteArray commport;
    QByteArray portLine;  // empty: no PortName line
  };
  const Case cases[] = {
      {"unchanged", {}, "Commport = 3\r\n", "PortName = /dev/ttyUSB7\r\n"},
      {"COM2 then back", {"COM2"}, "Commport = 2\r\n", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    open(kStored + "PortName = /dev/ttyUSB7\r\n");
    for (const QString& port : c.choices) ASSERT_TRUE(choosePort(port));
    ASSERT_TRUE(choosePort(sim.slavePath()));
    EXPECT_EQ(host->control()->PortName(), sim.slavePath());
    const QByteArray saved = savedFile();
    EXPECT_TRUE(saved.startsWith(c.commport)) << saved.toStdString();
    EXPECT_FALSE(saved.contains(sim.slavePath().toUtf8()));
    if (c.portLine.isEmpty()) {
      EXPECT_FALSE(saved.contains("PortName"));
    } else {
      EXPECT_TRUE(saved.endsWith(c.portLine)) << saved.toStdString();
    }
    host.reset();
  }
}

TEST_F(HostDialogs, EchoAndDebugSwitchesApplyOnOK) {
  frmHost& w = open(kStored);
  auto accept = [&](bool showDebug, bool echo) {
    ASSERT_TRUE(options([&](frmOptions& d) {
      d.chkShowDebug->setChecked(showDebug);
      d.chkEchoMessage->setChecked(echo);
      d.cmdOK->click();
    }));
  };

  // The virtual validator's line echoes: unexpected, the echo is line noise before the reply.
  accept(true, false);
  EXPECT_FALSE(w.control()->CommsEcho());
  const int ignored = w.control()->statistics().ignoredBytes;
  EXPECT_EQ(simplePoll(), kAck);
  EXPECT_EQ(w.control()->statistics().ignoredBytes - ignored, 5);
  accept(true, true);
  EXPECT_TRUE(w.control()->CommsEcho());
  EXPECT_EQ(simplePoll(), kAck);
  EXPECT_FALSE(named<QPlainTextEdit>(w, "txtCommand")->toPlainText().isEmpty());

  accept(false, true);
  EXPECT_TRUE(named<QGroupBox>(w, "fraDebug")->isHidden());
  EXPECT_EQ(simplePoll(), kAck);
  EXPECT_TRUE(named<QPlainTextEdit>(w, "txtCommand")->toPlainText().isEmpty())
      << "hidden frames are not filled";
  accept(true, true);
  EXPECT_FALSE(named<QGroupBox>(w, "fraDebug")->isHidden());
}

TEST_F(HostDialogs, AboutShowsTheProgramAndThisBuild) {
  const QString name = QCoreApplication::applicationName();
  const QString title = QGuiApplication::applicationDisplayName();
  const QString version = QCoreApplication::applicationVersion();
  tolvar::setProgramIdentity();
  open();
  bool closed = false;
  ui.queueDialog<frmAbout>([&](frmAbout& box) {
    EXPECT_EQ(box.windowTitle(), "About Tolvar");
    EXPECT_EQ(box.lblTitle->text(), "Tolvar");
    EXPECT_EQ(box.lblVersion->text(), "Version " TOLVAR_VERSION);
    EXPECT_FALSE(box.lblDescription->text().isEmpty());
    box.cmdOK->click();
    closed = !box.isVisible() && box.result() == QDialog::Accepted;
  });
  click("tlbHost", "Help_About");
  EXPECT_TRUE(closed);
  EXPECT_EQ(ui.dialogs(), QStringList{"About Tolvar"});
  QCoreApplication::setApplicationName(name);
  QGuiApplication::setApplicationDisplayName(title);
  QCoreApplication::setApplicationVersion(version);
}

}  // namespace
