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
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QSet>
#include <QTimer>

#include "quennet/control/zav_quennet.h"
#include "tests/tolvar/bench_fixture.h"
#include "tests/tolvar/rendered_text.h"
#include "tolvar/mainwindow/presenters/line_turn.h"
#include "tolvar/mainwindow/presenters/polling.h"
#include "tolvar/mainwindow/simulator/virtual_validator_presenter.h"

using tolvar::frmHost;

namespace {

QByteArray readFile(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

}  // namespace

using MainWindow = BenchOnSimulator;

TEST_F(MainWindow, StartsWithDefaultsWithoutASettingsFile) {
  frmHost& w = open();
  // The window says which port it is on, and the Port menu offers to close it.
  EXPECT_EQ(w.windowTitle(), "Tolvar Simulator - " + sim.slavePath() + " (simulated validator)");
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
  EXPECT_EQ(named<tolvar::HostToolBar>(w, "tlbHost")->buttonCount(), 17);
  EXPECT_EQ(named<tolvar::HostToolBar>(w, "tlbEnable")->buttonCount(), 12);
  EXPECT_EQ(named<tolvar::HostToolBar>(w, "tlbUtility")->buttonCount(), 13);
  EXPECT_EQ(named<tolvar::HostToolBar>(w, "tlbDiagnostic")->buttonCount(), 7);
  EXPECT_EQ(named<tolvar::HostToolBar>(w, "tlbHost")->buttonAt(11)->text(), "Poll BNV");
  EXPECT_TRUE(named<tolvar::HostToolBar>(w, "tlbHost")->buttonAt(11)->isCheckable());
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
    EXPECT_EQ(ui.messages()[0].title, "Tolvar Emulator");
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
    EXPECT_EQ(box.title, "Tolvar Emulator");
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

// Every toolbar command has a key, named in its tool tip; no two keys clash among the buttons
// shown at once (the host bar and one secondary bar).
TEST_F(MainWindow, EveryToolbarButtonHasItsOwnKey) {
  frmHost& w = open();
  for (const char* secondary : {"tlbEnable", "tlbUtility", "tlbDiagnostic"}) {
    QSet<QKeySequence> keys;
    for (const char* bar : {"tlbHost", secondary}) {
      for (QAction* button : named<tolvar::HostToolBar>(w, QString::fromLatin1(bar))->actions()) {
        if (button->isSeparator()) continue;
        SCOPED_TRACE(button->text().toStdString());
        EXPECT_FALSE(button->shortcut().isEmpty());
        EXPECT_FALSE(keys.contains(button->shortcut()));
        keys.insert(button->shortcut());
        EXPECT_TRUE(
            button->toolTip().contains(button->shortcut().toString(QKeySequence::NativeText)));
      }
    }
  }
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

  // Switching the form redraws the frames already shown.
  named<QRadioButton>(w, "optAscii")->setChecked(true);
  EXPECT_TRUE(named<QPlainTextEdit>(w, "txtCommand")->toPlainText().startsWith("40,0,"))
      << named<QPlainTextEdit>(w, "txtCommand")->toPlainText().toStdString();
  EXPECT_TRUE(named<QPlainTextEdit>(w, "txtReply")->toPlainText().startsWith("1,0,"));
  named<QWidget>(w, "fraNote")->show();
  click("tlbHost", "Reset");
  EXPECT_EQ(w.statusText(), "BNV Reply: ACK");
  EXPECT_TRUE(named<QPlainTextEdit>(w, "txtCommand")->toPlainText().startsWith("40,0,"))
      << named<QPlainTextEdit>(w, "txtCommand")->toPlainText().toStdString();
  EXPECT_TRUE(named<QPlainTextEdit>(w, "txtCommand")->toPlainText().contains(",1,"));
  EXPECT_TRUE(named<QPlainTextEdit>(w, "txtReply")->toPlainText().startsWith("1,0,"));
  EXPECT_TRUE(named<QWidget>(w, "fraNote")->isHidden());

  // With ShwMsg off the debug boxes keep what they had.
  w.settings().ShwMsg = 0;
  named<QPlainTextEdit>(w, "txtReply")->setPlainText("kept");
  w.lineTurn().ShowDebug();
  EXPECT_EQ(named<QPlainTextEdit>(w, "txtReply")->toPlainText(), "kept");
}

// The control's status panel is green after a good reply only; a failed command shows in red,
// whatever the engine's caption.
TEST_F(MainWindow, AFailedCommandIsNeverShownOnGreen) {
  frmHost& w = open();
  w.show();
  // The faults come from the Virtual Validator pane, as a bench user spoils the line.
  tolvar::VirtualValidatorDock dock(sim, &w);
  tolvar::VirtualValidatorPane* pane = dock.pane();
  const QColor green(0, 128, 0);
  const QColor red(255, 0, 0);
  QLabel* panel = w.control()->lblStatus;
  click("tlbHost", "Simple_Poll");
  EXPECT_EQ(renderedBackground(panel), green);
  const std::pair<const char*, const char*> failures[] = {{"silent", "Timeout Error [0]"},
                                                          {"nak", "NACK"},
                                                          {"busy", "BUSY"},
                                                          {"badcrc", "Checksum Error"}};
  for (const auto& [fault, caption] : failures) {
    SCOPED_TRACE(caption);
    pane->faultKind->setCurrentText(QLatin1String(fault));
    pane->injectFault->click();
    EXPECT_EQ(pane->faults->text(), QStringLiteral("%1 x1").arg(QLatin1String(fault)));
    click("tlbHost", "Simple_Poll");
    EXPECT_TRUE(panel->text().startsWith(QLatin1String(caption))) << panel->text().toStdString();
    EXPECT_EQ(renderedBackground(panel), red);
    click("tlbHost", "Simple_Poll");  // the next good reply is green again
    EXPECT_EQ(renderedBackground(panel), green);
  }
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
  // Past the 50 ms quiet wait of a port just opened, well before the 150 ms reply.
  QTimer::singleShot(90, &w, [&] {
    busySeen = ui.busy() && w.lineTurn().running();
    framesDuring = sim.framesReceived();
    click("tlbHost", "Reset");
    click("tlbHost", "Poll_BNV");
    named<QPushButton>(w, "cmdStack")->click();
    w.polling().tick();
    resetWaited = named<QWidget>(w, "fraNote")->isVisibleTo(&w);
  });
  const int before = sim.framesReceived();
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
