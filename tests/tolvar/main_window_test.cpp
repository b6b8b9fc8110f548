// The main window: start-up and close with the settings file, ApplyDetails and the key, the bar
// toggles, the host bar's commands against the virtual validator and the overlap guard.
#include <sys/stat.h>

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QGroupBox>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QSet>
#include <QSpinBox>
#include <QStatusBar>
#include <QTableWidget>
#include <QTest>
#include <QTimer>

#include "quennet/control/zav_quennet.h"
#include "tests/tolvar/bench_fixture.h"
#include "tests/tolvar/rendered_text.h"
#include "tolvar/dialogs/frm_options.h"
#include "tolvar/mainwindow/console/command_console.h"
#include "tolvar/mainwindow/console/script_run.h"
#include "tolvar/mainwindow/presenters/line_turn.h"
#include "tolvar/mainwindow/presenters/polling.h"
#include "tolvar/mainwindow/simulator/virtual_validator_presenter.h"
#include "tolvar/mainwindow/window/window_placement.h"

using tolvar::frmHost;

using MainWindow = BenchOnSimulator;

TEST_F(MainWindow, StartsWithDefaultsWithoutASettingsFile) {
  frmHost& w = open();
  // The window says which port it is on, and the Port menu offers to close it.
  EXPECT_EQ(w.windowTitle(), "Tolvar - " + sim.slavePath() + " (simulated validator)");
  EXPECT_EQ(w.portAction()->text(), "Close Port " + sim.slavePath());
  w.portAction()->trigger();
  EXPECT_FALSE(w.control()->Enabled());
  EXPECT_EQ(w.portAction()->text(), "Open Port " + sim.slavePath());
  w.portAction()->trigger();
  EXPECT_TRUE(w.control()->Enabled());
  EXPECT_EQ(named<QLineEdit>(w, "txtAddress")->text(), "40");
  EXPECT_EQ(w.settings().PollInt, 200);
  EXPECT_EQ(w.control()->CommPort(), 1);
  EXPECT_TRUE(w.control()->Enabled());
  EXPECT_EQ(w.control()->PortName(), sim.slavePath());
  EXPECT_FALSE(named<QCheckBox>(w, "chkEncrpyt")->isChecked());
  EXPECT_TRUE(named<QLineEdit>(w, "txtEncKey")->isHidden());
  // No stored position: the middle of the screen, the title bar's edge on it.
  const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
  EXPECT_TRUE(screen.contains(QRect(w.pos(), QSize(w.sizeHint().width(), 20))));
  EXPECT_LE(std::abs(w.pos().y() + w.sizeHint().height() / 2 - screen.center().y()), 1);
  EXPECT_TRUE(named<tolvar::HostToolBar>(w, "tlbEnable")->isHidden() &&
              named<tolvar::HostToolBar>(w, "tlbUtility")->isHidden() &&
              named<tolvar::HostToolBar>(w, "tlbDiagnostic")->isHidden());

  // With the Virtual Validator beside the form the whole window is placed, not the form (on
  // real screens: WindowOnScreen).
  w.addVirtualValidator(new tolvar::VirtualValidatorDock(sim, &w));
  EXPECT_EQ(w.pos(), tolvar::centredWindowPosition(w.size(), tolvar::availableScreenAreas()));
  EXPECT_GT(w.size().width(), w.centralWidget()->sizeHint().width());
}

TEST_F(MainWindow, StartsFromTheFileAndWritesItBackAtClose) {
  frmHost& w = open(
      "Commport = 3\r\nSlvAddr = 41\r\nEncrypt = 1\r\nKeyCode = 1234\r\nPollInt = 150\r\n"
      "FrmTop = -300\r\nFrmLft = 150\r\nMsgFmt = 7\r\nPortName = /dev/ttyUSB7\r\n");
  EXPECT_EQ(named<QLineEdit>(w, "txtAddress")->text(), "41");
  EXPECT_TRUE(named<QCheckBox>(w, "chkEncrpyt")->isChecked());
  EXPECT_FALSE(named<QLineEdit>(w, "txtEncKey")->isHidden());
  EXPECT_EQ(named<QLineEdit>(w, "txtEncKey")->text(), "001234");
  EXPECT_EQ(w.control()->CommPort(), 3);
  EXPECT_EQ(w.pos(), QPoint(10, 0));
  // The simulated device is used but never saved in place of the user's own port.
  EXPECT_EQ(w.control()->PortName(), sim.slavePath());
  named<QLineEdit>(w, "txtAddress")->setText("42");
  w.close();
  EXPECT_FALSE(w.control()->Enabled());
  EXPECT_EQ(readFile(settingsPath()),
            QByteArray("Commport = 3\r\nMsgFmt = 7\r\nMsgEcho = 1\r\nSlvAddr = 42\r\n"
                       "PollInt = 150\r\nEncrypt = 1\r\nKeyCode = 1234\r\nShwMsg = 1\r\n"
                       "SnglStp = 0\r\nFrmTop = 0\r\nFrmLft = 150\r\n"
                       "PortName = /dev/ttyUSB7\r\n"));
}

TEST_F(MainWindow, AddressIsCheckedBeforeEveryCommand) {
  frmHost& w = open();
  std::uint8_t address = 0;
  named<QLineEdit>(w, "txtAddress")->setText("-7");
  EXPECT_TRUE(w.lineTurn().ApplyDetails(address));
  EXPECT_EQ(address, 7);
  EXPECT_EQ(named<QLineEdit>(w, "txtAddress")->text(), "7");
  named<QLineEdit>(w, "txtAddress")->setText("40.6");
  EXPECT_TRUE(w.lineTurn().ApplyDetails(address));
  EXPECT_EQ(address, 41);
  EXPECT_EQ(named<QLineEdit>(w, "txtAddress")->text(), "41");
  named<QLineEdit>(w, "txtAddress")->setText("255");
  EXPECT_TRUE(w.lineTurn().ApplyDetails(address));
  EXPECT_EQ(address, 255);
  EXPECT_TRUE(ui.shown().empty());

  // Text that is no number would be address 0, the broadcast every device obeys.
  const int frames = sim.framesReceived();
  for (const char* refused : {"256", "abc", "", "40x"}) {
    ui.clearShown();
    named<QLineEdit>(w, "txtAddress")->setText(refused);
    click("tlbHost", "Simple_Poll");
    ASSERT_EQ(ui.messages().size(), 1u) << refused;
    EXPECT_EQ(ui.messages()[0].text, "WARNING! Address must lie in the range 0 to 255.");
    EXPECT_EQ(ui.messages()[0].title, "Tolvar");
    EXPECT_EQ(ui.messages()[0].icon, tolvar::MsgIcon::Exclamation);
  }
  EXPECT_EQ(sim.framesReceived(), frames);
}

TEST_F(MainWindow, LetterInTheKeyStopsEveryCommand) {
  frmHost& w = open();
  named<QCheckBox>(w, "chkEncrpyt")->setChecked(true);
  EXPECT_FALSE(named<QLineEdit>(w, "txtEncKey")->isHidden());
  named<QLineEdit>(w, "txtEncKey")->setText("58a604");
  const int frames = sim.framesReceived();
  click("tlbHost", "Simple_Poll");
  click("tlbHost", "Reset");
  ASSERT_EQ(ui.messages().size(), 2u);
  for (const auto& box : ui.messages()) {
    EXPECT_EQ(box.text, "Invalid character entered in the key code.");
    EXPECT_EQ(box.title, "Tolvar");
  }
  EXPECT_EQ(sim.framesReceived(), frames);
}

TEST_F(MainWindow, LongKeyIsCutAndLoadedAsNibbles) {
  frmHost& w = open("Encrypt = 1\r\nKeyCode = 12345678\r\n");
  std::uint8_t address = 0;
  ASSERT_TRUE(w.lineTurn().ApplyDetails(address));
  EXPECT_EQ(named<QLineEdit>(w, "txtEncKey")->text(), "123456");
  EXPECT_TRUE(w.control()->Encryption());
  EXPECT_EQ(w.control()->KeyCode(), 0x654321);
}

// Every toolbar command has a key, named in its tool tip; no two keys clash among everything
// that takes keys at once: the host bar, one secondary bar, the menus' Alt letters, the window's
// and the docks' actions (the Virtual Validator's included).
TEST_F(MainWindow, EveryActionHasItsOwnKey) {
  frmHost& w = open();
  w.addVirtualValidator(new tolvar::VirtualValidatorDock(sim, &w));
  const QStringList secondaries = {"tlbEnable", "tlbUtility", "tlbDiagnostic"};
  for (const QString& secondary : secondaries) {
    SCOPED_TRACE(secondary.toStdString());
    QHash<QKeySequence, QString> keys;
    const auto take = [&keys](const QKeySequence& key, const QString& what) {
      if (key.isEmpty()) return;
      EXPECT_FALSE(keys.contains(key))
          << what.toStdString() << " and " << keys.value(key).toStdString() << " share "
          << key.toString().toStdString();
      keys.insert(key, what);
    };
    for (QMenu* menu : w.menuBar()->findChildren<QMenu*>()) {
      take(QKeySequence::mnemonic(menu->title()), menu->title());
    }
    QSet<QAction*> seen;
    for (QAction* action : w.findChildren<QAction*>()) {
      if (action->isSeparator() || seen.contains(action)) continue;
      seen.insert(action);
      // A hidden secondary bar's keys do nothing; the three share Ctrl and a position.
      const auto* bar = qobject_cast<tolvar::HostToolBar*>(action->parent());
      const bool button = bar && bar->actions().contains(action);
      if (button && bar->objectName() != "tlbHost" && bar->objectName() != secondary) continue;
      if (button) {
        SCOPED_TRACE(action->text().toStdString());
        EXPECT_FALSE(action->shortcut().isEmpty());
        EXPECT_TRUE(
            action->toolTip().contains(action->shortcut().toString(QKeySequence::NativeText)));
      }
      for (const QKeySequence& key : action->shortcuts()) take(key, action->text());
    }
    EXPECT_TRUE(keys.contains(QKeySequence(Qt::CTRL | Qt::Key_Q)));
  }
  // Quit closes the window as its close box does: the settings are written.
  w.findChild<QAction*>("quitAction")->trigger();
  EXPECT_TRUE(QFileInfo::exists(settingsPath()));
}

TEST_F(MainWindow, BarTogglesShowOneSecondaryBarAtATime) {
  frmHost& w = open();
  click("tlbHost", "Enable_Bar");
  EXPECT_TRUE(named<tolvar::HostToolBar>(w, "tlbEnable")->isVisibleTo(&w));
  click("tlbHost", "Utilities_Bar");
  EXPECT_TRUE(named<tolvar::HostToolBar>(w, "tlbUtility")->isVisibleTo(&w));
  EXPECT_FALSE(named<tolvar::HostToolBar>(w, "tlbEnable")->isVisibleTo(&w));
  EXPECT_FALSE(named<tolvar::HostToolBar>(w, "tlbHost")->button("Enable_Bar")->isChecked());
  EXPECT_TRUE(named<tolvar::HostToolBar>(w, "tlbHost")->button("Utilities_Bar")->isChecked());
  EXPECT_EQ(named<tolvar::HostToolBar>(w, "tlbUtility")->geometry().top(),
            named<tolvar::HostToolBar>(w, "tlbEnable")->geometry().top());
  click("tlbHost", "Utilities_Bar");
  EXPECT_FALSE(named<tolvar::HostToolBar>(w, "tlbUtility")->isVisibleTo(&w));
  click("tlbHost", "Diag_Bar");
  EXPECT_TRUE(named<tolvar::HostToolBar>(w, "tlbDiagnostic")->isVisibleTo(&w));
}

TEST_F(MainWindow, SimplePollAndResetShowReplyAndFrames) {
  frmHost& w = open();
  named<QPlainTextEdit>(w, "txtCommand")->setPlainText("stale");
  click("tlbHost", "Simple_Poll");
  EXPECT_EQ(w.statusText(), "BNV Reply: ACK");
  // Host to 40, header 254, CRC-16 framing; the ACK comes back from address 1.
  EXPECT_TRUE(named<QPlainTextEdit>(w, "txtCommand")->toPlainText().startsWith("28 00 "))
      << named<QPlainTextEdit>(w, "txtCommand")->toPlainText().toStdString();
  EXPECT_TRUE(named<QPlainTextEdit>(w, "txtCommand")->toPlainText().contains(" FE "));
  EXPECT_TRUE(named<QPlainTextEdit>(w, "txtReply")->toPlainText().startsWith("01 00 "));

  // Switching the form redraws the frames already shown: the bytes as characters, a dot for
  // each that does not print (40 is "(", the CRC bytes and the header 254 do not print).
  QPlainTextEdit* txtCommand = named<QPlainTextEdit>(w, "txtCommand");
  QPlainTextEdit* txtReply = named<QPlainTextEdit>(w, "txtReply");
  named<QRadioButton>(w, "optAscii")->setChecked(true);
  EXPECT_TRUE(txtCommand->toPlainText().startsWith("(."))
      << txtCommand->toPlainText().toStdString();
  EXPECT_EQ(txtCommand->toPlainText().size(), 5);  // one character per byte of the frame
  EXPECT_FALSE(txtCommand->toPlainText().contains(QLatin1Char(',')));
  EXPECT_EQ(txtReply->toPlainText().size(), 5);
  EXPECT_TRUE(txtReply->toPlainText().startsWith("..")) << txtReply->toPlainText().toStdString();
  named<QWidget>(w, "fraNote")->show();
  click("tlbHost", "Reset");
  EXPECT_EQ(w.statusText(), "BNV Reply: ACK");
  EXPECT_TRUE(txtCommand->toPlainText().startsWith("(."))
      << txtCommand->toPlainText().toStdString();
  EXPECT_EQ(txtReply->toPlainText().size(), 5);
  EXPECT_TRUE(named<QWidget>(w, "fraNote")->isHidden());

  // Encrypted, both boxes show the line's bytes, each with the frame in the clear under it: the
  // poll's header 254 and the ACK's 0 read only in the clear.
  bnvsim::LineOptions line = sim.lineOptions();
  line.encryption = true;
  sim.setLineOptions(line);
  named<QCheckBox>(w, "chkEncrpyt")->setChecked(true);
  named<QRadioButton>(w, "optHex")->setChecked(true);
  click("tlbHost", "Simple_Poll");
  EXPECT_EQ(w.statusText(), "BNV Reply: ACK");
  const auto pairs = [](const QString& text) { return text.split(QLatin1Char(' ')); };
  for (const auto& [box, header] :
       {std::pair{txtCommand, QStringLiteral("FE")}, std::pair{txtReply, QStringLiteral("00")}}) {
    const QStringList lines = box->toPlainText().split(QLatin1Char('\n'));
    ASSERT_EQ(lines.size(), 2) << box->toPlainText().toStdString();
    ASSERT_TRUE(lines[1].startsWith("clear: ")) << lines[1].toStdString();
    const QStringList clear = pairs(lines[1].mid(7));
    EXPECT_EQ(clear.value(3), header) << lines[1].toStdString();
    EXPECT_NE(pairs(lines[0]).value(3), header) << lines[0].toStdString();
    EXPECT_EQ(pairs(lines[0]).mid(0, 2), clear.mid(0, 2));  // address and length stay clear
  }
  line.encryption = false;
  sim.setLineOptions(line);
  named<QCheckBox>(w, "chkEncrpyt")->setChecked(false);

  // With ShwMsg off the debug boxes keep what they had.
  w.settings().ShwMsg = 0;
  named<QPlainTextEdit>(w, "txtReply")->setPlainText("kept");
  w.lineTurn().ShowDebug();
  EXPECT_EQ(named<QPlainTextEdit>(w, "txtReply")->toPlainText(), "kept");
}

// The control's status panel is green after a good reply only; a failed command shows in red,
// whatever the engine's caption, and the host's own count of it shows beside. A port that
// failed to open is never green, and a frame that never went out is no command sent.
TEST_F(MainWindow, AFailedCommandIsNeverShownOnGreen) {
  frmHost& w = open();
  w.show();
  // The faults come from the Virtual Validator pane, as a bench user spoils the line.
  tolvar::VirtualValidatorDock dock(sim, &w);
  tolvar::VirtualValidatorPane* pane = dock.pane();
  const QColor green(0, 128, 0);
  const QColor red(255, 0, 0);
  QLabel* panel = w.control()->lblStatus;
  // Open, with nothing heard from the line yet: neither green nor red.
  EXPECT_EQ(panel->text(), "Comms Ready");
  EXPECT_NE(renderedBackground(panel), green);
  EXPECT_NE(renderedBackground(panel), red);
  click("tlbHost", "Simple_Poll");
  EXPECT_EQ(renderedBackground(panel), green);
  QLabel* hostCounts = named<QLabel>(w, "staHost_2");
  EXPECT_TRUE(hostCounts->text().startsWith("Host: 0 t/o, 0 NAK, 0 BUSY, 0 chk, "))
      << hostCounts->text().toStdString();
  const struct {
    const char* fault;
    const char* caption;
    const char* counted;  // the host's counts after it
  } failures[] = {{"silent", "Timeout Error [0]", "Host: 1 t/o, 0 NAK, 0 BUSY, 0 chk"},
                  {"nak", "NACK", "Host: 1 t/o, 1 NAK, 0 BUSY, 0 chk"},
                  {"busy", "BUSY", "Host: 1 t/o, 1 NAK, 1 BUSY, 0 chk"},
                  {"badcrc", "Checksum Error", "Host: 1 t/o, 1 NAK, 1 BUSY, 1 chk"}};
  for (const auto& [fault, caption, counted] : failures) {
    SCOPED_TRACE(caption);
    pane->faultKind->setCurrentText(QLatin1String(fault));
    pane->injectFault->click();
    EXPECT_EQ(pane->faults->text(), QStringLiteral("%1 x1").arg(QLatin1String(fault)));
    click("tlbHost", "Simple_Poll");
    EXPECT_TRUE(panel->text().startsWith(QLatin1String(caption))) << panel->text().toStdString();
    EXPECT_EQ(renderedBackground(panel), red);
    EXPECT_TRUE(hostCounts->text().startsWith(QLatin1String(counted)))
        << hostCounts->text().toStdString();
    EXPECT_TRUE(hostCounts->isVisible());
    click("tlbHost", "Simple_Poll");  // the next good reply is green again
    EXPECT_EQ(renderedBackground(panel), green);
  }

  // A closed port (Ctrl+P): nothing goes out, the debug boxes show no frame and the status bar
  // says why.
  const int received = sim.framesReceived();
  QTest::keyClick(&w, Qt::Key_P, Qt::ControlModifier);
  ASSERT_FALSE(w.control()->Enabled());
  click("tlbHost", "Simple_Poll");
  EXPECT_EQ(sim.framesReceived(), received);
  EXPECT_TRUE(named<QPlainTextEdit>(w, "txtCommand")->toPlainText().isEmpty());
  EXPECT_TRUE(named<QPlainTextEdit>(w, "txtReply")->toPlainText().isEmpty());
  EXPECT_EQ(w.statusText(), "BNV Reply: Port closed: nothing sent (File > Open Port, Ctrl+P)");
  w.portAction()->trigger();

  // A port that cannot be opened, chosen in Options: its error is not drawn on green.
  ui.queueDialog<tolvar::frmOptions>([this](tolvar::frmOptions& d) {
    d.cboCommPort->setCurrentText(dir.filePath(QStringLiteral("no-such-port")));
    d.cmdOK->click();
  });
  click("tlbHost", "Options");
  EXPECT_FALSE(w.control()->Enabled());
  EXPECT_EQ(panel->text(), "Comms Error!");
  EXPECT_NE(renderedBackground(panel), green);
  EXPECT_NE(renderedBackground(panel), red);
  EXPECT_EQ(w.portAction()->text(), "Open Port " + dir.filePath(QStringLiteral("no-such-port")));
}

TEST_F(MainWindow, ModifyKeyPadsShortAndCutsLongEntries) {
  bnvsim::LineOptions line = sim.lineOptions();
  line.encryption = true;
  sim.setLineOptions(line);
  frmHost& w = open("Encrypt = 1\r\nKeyCode = 582604\r\n");

  ui.queueInput("1234");
  click("tlbHost", "Modify_Key");
  EXPECT_EQ(w.statusText(), "BNV Reply: ACK");
  EXPECT_EQ(named<QLineEdit>(w, "txtEncKey")->text(), "001234");
  ASSERT_FALSE(ui.shown().empty());
  EXPECT_EQ(ui.shown().back().title, "Change ccTalk Key");
  EXPECT_EQ(ui.shown().back().text, "Enter new Encrption Key.\r\n(6 digits)");
  EXPECT_EQ(sim.lineOptions().key, "001234");
  click("tlbHost", "Simple_Poll");
  EXPECT_EQ(w.statusText(), "BNV Reply: ACK");

  ui.queueInput("12345678");
  click("tlbHost", "Modify_Key");
  EXPECT_EQ(named<QLineEdit>(w, "txtEncKey")->text(), "123456");
  EXPECT_EQ(sim.lineOptions().key, "123456");

  // A letter: message, nothing sent, the old key stays.
  const int frames = sim.framesReceived();
  ui.queueInput("12x456");
  click("tlbHost", "Modify_Key");
  EXPECT_EQ(ui.messages().back().text, "Invalid character entered in the key code.");
  EXPECT_EQ(sim.framesReceived(), frames);
  EXPECT_EQ(named<QLineEdit>(w, "txtEncKey")->text(), "123456");

  // Cancel (an unscripted box) and an empty answer: nothing sent, the key stays.
  for (const char* answer : {"", "  "}) {
    if (*answer) ui.queueInput(answer);
    click("tlbHost", "Modify_Key");
    EXPECT_EQ(w.statusText(), "Key not changed: nothing sent.");
  }
  EXPECT_EQ(sim.framesReceived(), frames);
  EXPECT_EQ(sim.lineOptions().key, "123456");
  EXPECT_EQ(named<QLineEdit>(w, "txtEncKey")->text(), "123456");
}

// No overlap on the line: a click that arrives while a transaction waits for its reply runs once
// the reply is in; a second one meanwhile is refused, and the timer skips its tick.
TEST_F(MainWindow, AClickDuringATransactionWaitsItsTurn) {
  frmHost& w = open();
  bnvsim::LineOptions line = sim.lineOptions();
  line.replyDelayMs = 150;
  sim.setLineOptions(line);
  named<QWidget>(w, "fraNote")->show();

  bool busySeen = false;
  bool resetWaited = false;
  int framesDuring = 0;
  const int before = sim.framesReceived();
  // Once the poll is on the line (past the quiet wait of a port just opened), well before its
  // 150 ms reply: looked at every 5 ms, however late the machine lets the poll go out.
  QTimer during;
  during.setInterval(5);
  QObject::connect(&during, &QTimer::timeout, &w, [&] {
    if (sim.framesReceived() == before) return;
    during.stop();
    busySeen = ui.busy() && w.lineTurn().running();
    framesDuring = sim.framesReceived();
    click("tlbHost", "Reset");
    click("tlbHost", "Poll_BNV");
    named<QPushButton>(w, "cmdStack")->click();
    w.polling().tick();
    resetWaited = named<QWidget>(w, "fraNote")->isVisibleTo(&w);
  });
  during.start();
  click("tlbHost", "Simple_Poll");
  EXPECT_TRUE(busySeen);
  EXPECT_TRUE(resetWaited);
  EXPECT_EQ(framesDuring, before + 1);
  EXPECT_EQ(sim.framesReceived(), before + 1);
  EXPECT_EQ(w.statusText(), "BNV Reply: ACK");
  EXPECT_FALSE(named<tolvar::HostToolBar>(w, "tlbHost")->button("Poll_BNV")->isChecked());
  EXPECT_FALSE(w.polling().timer()->isActive());
  EXPECT_EQ(w.polling().pendingRoute(), tolvar::kRouteNone);
  EXPECT_FALSE(named<QPushButton>(w, "cmdStack")->isChecked());

  // The reset's turn comes from the event loop once the poll is done; the master inhibit is
  // read back behind it.
  QEventLoop loop;
  QTimer::singleShot(600, &loop, &QEventLoop::quit);
  loop.exec();
  EXPECT_EQ(sim.framesReceived(), before + 3);
  EXPECT_FALSE(named<QWidget>(w, "fraNote")->isVisibleTo(&w));
  EXPECT_EQ(w.statusText(), "BNV Reply: ACK");
  EXPECT_TRUE(ui.messages().empty());
  EXPECT_FALSE(ui.busy());
  EXPECT_FALSE(w.lineTurn().running());
}

// Only a transaction holds the line: the poll timer goes on while a box is open.
TEST_F(MainWindow, PollingGoesOnBehindADialog) {
  frmHost& w = open();
  click("tlbEnable", "Enable_All");
  click("tlbHost", "Poll_BNV");
  ASSERT_TRUE(w.polling().timer()->isActive());
  int framesBefore = 0;
  int framesAfter = 0;
  ui.queueDialog<QDialog>([&](QDialog&) {
    framesBefore = sim.framesReceived();
    sim.insertNote(3);
    QEventLoop loop;  // the user reads the box for a while
    QTimer::singleShot(700, &loop, &QEventLoop::quit);
    loop.exec();
    framesAfter = sim.framesReceived();
  });
  click("tlbHost", "Help_About");
  EXPECT_GE(framesAfter - framesBefore, 2);
  EXPECT_EQ(named<QLabel>(w, "lblEvent")->text(), "Note 3 in escrow.");
  EXPECT_TRUE(w.polling().timer()->isActive());
}

// The host link is set in Options, so a validator on an 8-bit line or a slow one is reached;
// a time-out too short for it is not. The window and the Virtual Validator pane follow the
// port: off the simulated one, neither claims to be on its line.
TEST_F(MainWindow, OptionsSetTheHostLinkAndTheWindowFollowsThePort) {
  frmHost& w = open();
  w.show();
  auto* dock = new tolvar::VirtualValidatorDock(sim, &w);
  w.addVirtualValidator(dock);
  QLabel* offLine = dock->pane()->offLine;
  EXPECT_FALSE(offLine->isVisible());
  const struct {
    bool crc;
    int delayMs;
    std::int16_t checksum;
    int timeoutMs;
    const char* reply;
  } lines[] = {{false, 0, tolvar::HostSettings::kChecksum8, 0, "BNV Reply: ACK"},
               {true, 350, tolvar::HostSettings::kCrc16, 0, "BNV Reply: "},
               {true, 350, tolvar::HostSettings::kCrc16, 700, "BNV Reply: ACK"}};
  for (const auto& line : lines) {
    SCOPED_TRACE(line.timeoutMs);
    bnvsim::LineOptions options = sim.lineOptions();
    options.crc = line.crc;
    options.replyDelayMs = line.delayMs;
    sim.setLineOptions(options);
    ui.queueDialog<tolvar::frmOptions>([&line](tolvar::frmOptions& d) {
      d.cboChecksum->setCurrentIndex(d.cboChecksum->findData(line.checksum));
      d.spnReplyTimeout->setValue(line.timeoutMs);
      d.cmdOK->click();
    });
    click("tlbHost", "Options");
    click("tlbHost", "Simple_Poll");
    EXPECT_EQ(w.statusText(), line.reply);
  }
  ASSERT_TRUE(w.WriteSettings());
  const QByteArray file = readFile(settingsPath());
  EXPECT_TRUE(file.contains("\r\nReplyTimeout = 700\r\n")) << file.toStdString();
  EXPECT_FALSE(file.contains("Checksum"));  // CRC-16, the default, writes no line

  // Enter in the port's box accepts another port.
  const QString other = dir.filePath(QStringLiteral("other-port"));
  const auto choose = [this](const QString& port) {
    ui.queueDialog<tolvar::frmOptions>([port](tolvar::frmOptions& d) {
      d.cboCommPort->setCurrentText(port);
      QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
      QCoreApplication::sendEvent(d.cboCommPort->lineEdit(), &enter);
    });
    click("tlbHost", "Options");
  };
  choose(other);
  EXPECT_EQ(w.settings().PortName, other);
  EXPECT_EQ(w.windowTitle(), "Tolvar - " + other);
  EXPECT_TRUE(offLine->isVisible());
  EXPECT_TRUE(offLine->text().contains(other));
  const QColor warning = renderedTextColour(offLine);
  EXPECT_TRUE(warning.red() > 200 && warning.green() < 80 && warning.blue() < 80)
      << warning.name().toStdString();
  choose(sim.slavePath());
  EXPECT_EQ(w.windowTitle(), "Tolvar - " + sim.slavePath() + " (simulated validator)");
  EXPECT_FALSE(offLine->isVisible());
}

// The console runs any method by name (the address box's address where none is given) or a raw
// frame, on the bench's line, and writes the outputs, the result, whether the device
// acknowledged and the frames; Up and Down bring back the lines run.
TEST_F(MainWindow, CommandConsoleRunsAMethodOrARawFrame) {
  frmHost& w = open();
  tolvar::CommandConsolePane* pane = w.consoleDock()->pane();
  const auto key = [pane](Qt::Key pressed) {
    QKeyEvent event(QEvent::KeyPress, pressed, Qt::NoModifier);
    QCoreApplication::sendEvent(pane->input, &event);
  };
  const auto enter = [&](const QString& line) {
    pane->transcript->clear();
    pane->input->setText(line);
    key(Qt::Key_Return);
    return pane->transcript->toPlainText();
  };
  QString shown = enter("RequestBillID 1");
  EXPECT_TRUE(shown.startsWith("> RequestBillID 1\n")) << shown.toStdString();
  EXPECT_TRUE(shown.contains(": GB0005A\n")) << shown.toStdString();
  EXPECT_TRUE(shown.contains("result: 0 (OK), acknowledged, ")) << shown.toStdString();
  EXPECT_TRUE(shown.contains("\nsent: 28 01 ")) << shown.toStdString();
  EXPECT_FALSE(named<QPlainTextEdit>(w, "txtCommand")->toPlainText().isEmpty());

  shown = enter("SetMasterInhibit 40 0");
  EXPECT_EQ(sim.masterInhibit() & 1, 0);
  EXPECT_TRUE(shown.contains("result: 0 (OK), acknowledged, ")) << shown.toStdString();
  shown = enter("raw 40 228 1");
  EXPECT_EQ(sim.masterInhibit() & 1, 1);
  EXPECT_TRUE(shown.contains("data: \nresult: 0 (OK), acknowledged")) << shown.toStdString();
  // The data in the base of the frames under it.
  shown = enter("raw 40 227");
  EXPECT_TRUE(shown.contains("data: 01\n")) << shown.toStdString();
  shown = enter("raw 40 242");
  EXPECT_TRUE(shown.contains("data: 87 D6 12\n")) << shown.toStdString();

  // A device that refuses: not acknowledged, whatever the result.
  sim.injectFault(bnvsim::Fault::Nak);
  shown = enter("raw 40 254");
  EXPECT_TRUE(shown.contains(", not acknowledged, ")) << shown.toStdString();

  shown = enter("NoSuchMethod 1");
  EXPECT_TRUE(shown.contains("error: unknown method NoSuchMethod")) << shown.toStdString();
  // A name in any case is the method; a near miss is named with the method meant.
  shown = enter("getserialno");
  EXPECT_TRUE(shown.contains("result: 0 (OK), acknowledged, ")) << shown.toStdString();
  shown = enter("GetSerailNo");
  EXPECT_TRUE(shown.contains("error: unknown method GetSerailNo; did you mean GetSerialNo?"))
      << shown.toStdString();
  shown = enter("raw 40 300");
  EXPECT_TRUE(shown.contains("error: not a byte: 300")) << shown.toStdString();

  key(Qt::Key_Up);
  EXPECT_EQ(pane->input->text(), "raw 40 300");
  key(Qt::Key_Up);
  EXPECT_EQ(pane->input->text(), "GetSerailNo");
  key(Qt::Key_Down);
  key(Qt::Key_Down);
  EXPECT_EQ(pane->input->text(), "");

  w.portAction()->trigger();
  shown = enter("raw 40 254");
  EXPECT_TRUE(shown.contains(", nothing sent")) << shown.toStdString();
}

// A script runs on the bench's line, a line at a time while the window stays live: each line
// against what it expects (an acknowledgement where it says nothing), a line that cannot run
// fails, the first failure can end the run, and the report is the table as shown.
TEST_F(MainWindow, ScriptRunPassesAndFailsLinesAndSavesItsReport) {
  frmHost& w = open();
  const QString path = dir.filePath(QStringLiteral("smoke.txt"));
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.write(
      "# smoke\n"
      "SendPoll   # expect ack\n"
      "\n"
      "SetInhibitStatus 255,255\n"
      "RouteBill 1   # expect nak   nothing in escrow\n"
      "--address 41 SendPoll   # expect 2\n"
      "RequestBillID 3   # expect nak\n"
      "NoSuchMethod\n"
      "GetSerialNo");  // a file's last line runs without its newline
  file.close();
  tolvar::ScriptRunPane* pane = w.scriptDock()->pane();
  tolvar::ScriptRun& script = w.scriptDock()->script();
  ui.queueOpenFileName(path);
  pane->open->click();
  QTableWidget* table = pane->table;
  const auto cell = [table](int row, int column) {
    const QTableWidgetItem* item = table->item(row, column);
    return item ? item->text() : QString();
  };
  ASSERT_EQ(table->rowCount(), 7);
  EXPECT_EQ(cell(3, tolvar::ScriptRunPane::Line), "6");
  EXPECT_EQ(cell(3, tolvar::ScriptRunPane::Command), "--address 41 SendPoll");
  EXPECT_EQ(cell(3, tolvar::ScriptRunPane::Expected), "2");
  EXPECT_EQ(cell(1, tolvar::ScriptRunPane::Expected), "ack");

  const auto runToEnd = [&] {
    QEventLoop ended;
    QObject::connect(&script, &tolvar::ScriptRun::finished, &ended, &QEventLoop::quit);
    QTimer::singleShot(10000, &ended, &QEventLoop::quit);
    pane->run->click();
    ASSERT_TRUE(script.running()) << "the click returns while the script runs";
    ended.exec();
    EXPECT_FALSE(script.running());
  };
  const int framesBefore = sim.framesReceived();
  pane->stopOnFailure->setChecked(true);
  runToEnd();
  const QStringList passes = {"PASS", "PASS", "PASS", "PASS", "FAIL", "", ""};
  for (int row = 0; row < table->rowCount(); ++row) {
    EXPECT_EQ(cell(row, tolvar::ScriptRunPane::Pass), passes[row]) << row;
  }
  EXPECT_EQ(cell(2, tolvar::ScriptRunPane::Outputs), "Response: No Note in Escrow");
  EXPECT_EQ(cell(4, tolvar::ScriptRunPane::Acknowledged), "yes");
  EXPECT_EQ(sim.inhibitMask(), (std::array<std::uint8_t, 2>{255, 255}));
  EXPECT_EQ(sim.framesReceived() - framesBefore, 5);  // the lines after the failure never went
  EXPECT_TRUE(pane->summary->text().endsWith(
      "5 of 7 lines run: 4 passed, 1 failed; stopped at line 7, its first failure"))
      << pane->summary->text().toStdString();

  pane->stopOnFailure->setChecked(false);
  runToEnd();
  EXPECT_EQ(cell(4, tolvar::ScriptRunPane::Pass), "FAIL");
  EXPECT_EQ(cell(5, tolvar::ScriptRunPane::Pass), "FAIL");
  EXPECT_TRUE(cell(5, tolvar::ScriptRunPane::Outputs).startsWith("error: unknown method"));
  EXPECT_EQ(cell(6, tolvar::ScriptRunPane::Pass), "PASS");
  EXPECT_EQ(cell(6, tolvar::ScriptRunPane::Outputs), "strResponse: 8902162");

  const QString report = dir.filePath(QStringLiteral("report.csv"));
  ui.queueSaveFileName(report);
  pane->save->click();
  QFile saved(report);
  ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
  const QList<QByteArray> lines = saved.readAll().split('\n');
  ASSERT_EQ(lines.size(), 9);  // the titles, seven rows and the last line's end
  EXPECT_EQ(lines[0], R"("Line","Command","Expected","Result","Ack","Outputs","Pass","Time","ms")");
  EXPECT_TRUE(lines[5].startsWith(
      R"x("7","RequestBillID 3","nak","0 (OK)","yes","Response: GB0020A","FAIL",")x"))
      << lines[5].toStdString();
  EXPECT_TRUE(lines[6].startsWith(R"("8","NoSuchMethod","ack","","","error: unknown method)"))
      << lines[6].toStdString();
  const QString text = dir.filePath(QStringLiteral("report.txt"));
  ui.queueSaveFileName(text);
  pane->save->click();
  QFile textReport(text);
  ASSERT_TRUE(textReport.open(QIODevice::ReadOnly));
  EXPECT_TRUE(textReport.readAll().startsWith("# Script: " + path.toUtf8() + "\n# Saved: "));
  EXPECT_TRUE(ui.messages().empty());
}

TEST_F(MainWindow, DoubleClickOnTheControlTogglesThePort) {
  frmHost& w = open();
  ASSERT_TRUE(w.control()->Enabled());
  emit w.control()->DblClick();
  EXPECT_FALSE(w.control()->Enabled());
  emit w.control()->DblClick();
  EXPECT_TRUE(w.control()->Enabled());
}

TEST_F(MainWindow, UnwritableSettingsFileIsReportedAtClose) {
  frmHost w(ui, tolvar::HostOptions{"/dev/null/tolvar.ini", sim.slavePath()});
  w.close();
  ASSERT_EQ(ui.messages().size(), 1u);
  EXPECT_EQ(ui.messages()[0].title, "File Access Error");
  EXPECT_TRUE(ui.messages()[0].text.startsWith(
      "The settings file \"tolvar.ini\" could not be written.\r\n/dev/null/tolvar.ini: "));
  EXPECT_EQ(ui.messages()[0].buttons, tolvar::MsgButtons::Ok);

  // A FIFO would block the read for ever and be replaced by the write: neither is tried.
  const QString fifo = dir.filePath("fifo.ini");
  ASSERT_EQ(mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
  ui.clearShown();
  frmHost onFifo(ui, tolvar::HostOptions{fifo, sim.slavePath()});
  onFifo.close();
  ASSERT_EQ(ui.messages().size(), 2u);
  EXPECT_EQ(ui.messages()[0].text, "The settings file \"tolvar.ini\" could not be read.\r\n" +
                                       fifo + ": not a regular file");
  EXPECT_EQ(ui.messages()[1].text, "The settings file \"tolvar.ini\" could not be written.\r\n" +
                                       fifo + ": not a regular file");
  EXPECT_TRUE(QFileInfo(fifo).exists() && !QFileInfo(fifo).isFile());
}

TEST_F(MainWindow, AWindowStoredOffEveryScreenOpensOnOne) {
  frmHost& w = open("FrmTop = 999999\r\nFrmLft = 999999\r\n");
  const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
  EXPECT_TRUE(screen.contains(QRect(w.pos(), QSize(100, 20)))) << w.pos().x() << "," << w.pos().y();
  // Dragged off every screen, it is saved where it would open, never off screen.
  w.move(screen.right() + 500, screen.bottom() + 500);
  w.close();
  const QByteArray saved = readFile(settingsPath());
  const auto value = [&saved](const char* key) {
    const qsizetype at = saved.indexOf(key) + qstrlen(key);
    return saved.mid(at, saved.indexOf('\r', at) - at).toInt() / 15;
  };
  EXPECT_TRUE(
      screen.contains(QRect(QPoint(value("FrmLft = "), value("FrmTop = ")), QSize(100, 20))))
      << saved.toStdString();
}
