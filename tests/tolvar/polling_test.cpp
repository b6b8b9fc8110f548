// Polling the virtual validator: escrow, stack, return, hold, reset, failed ticks, the address
// box edited mid-poll, single step.
#include <functional>

#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QEventLoop>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QSpinBox>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include "quennet/commands/command_set.h"
#include "quennet/control/zav_quennet.h"
#include "tests/tolvar/bench_fixture.h"
#include "tests/tolvar/rendered_text.h"
#include "tolvar/dialogs/frm_options.h"
#include "tolvar/mainwindow/console/command_console.h"
#include "tolvar/mainwindow/panes/event_texts.h"
#include "tolvar/mainwindow/presenters/polling.h"
#include "tolvar/mainwindow/simulator/virtual_validator_presenter.h"
#include "tolvar/mainwindow/traffic/event_history.h"
#include "tolvar/mainwindow/traffic/traffic_dock.h"

using tolvar::frmHost;

namespace {

QColor eventColour(const frmHost& w) {
  return renderedTextColour(named<QLabel>(w, "lblEvent"));
}

// The event history's texts, oldest first.
QStringList historyTexts(frmHost& w) {
  const QAbstractItemModel* model = w.trafficDock()->eventHistory()->model();
  QStringList texts;
  for (int i = 0; i < model->rowCount(); ++i) texts << model->index(i, 2).data().toString();
  return texts;
}

// Poll ticks until the event label reads `text`, for at most five seconds: the device is another
// process here, which takes the typed commands in its own time.
bool tickUntilEvent(frmHost& w, const QString& text) {
  for (int i = 0; i < 100; ++i) {
    w.polling().tick();
    if (named<QLabel>(w, "lblEvent")->text() == text) return true;
    QTest::qWait(50);
  }
  return false;
}

const QString kRefused = QStringLiteral("Note Refused: Master Inhibit");
const QString kRestarted = QStringLiteral("Validator Inhibited (restarted)");

}  // namespace

class PollingBench : public BenchOnSimulator {
 protected:
  frmHost& startPolling() {
    frmHost& w = open();
    click("tlbEnable", "Enable_All");
    click("tlbHost", "Poll_BNV");
    EXPECT_TRUE(w.polling().timer()->isActive());
    EXPECT_EQ(w.polling().timer()->interval(), 200);
    EXPECT_EQ(named<tolvar::HostToolBar>(w, "tlbHost")->button("Poll_BNV")->text(), "Stop Poll");
    EXPECT_EQ(sim.masterInhibit() & 1, 1);
    return w;
  }
};

TEST_F(PollingBench, EscrowThenStack) {
  frmHost& w = startPolling();
  w.polling().tick();
  sim.insertNote(3);
  w.polling().tick();
  EXPECT_EQ(named<QLabel>(w, "lblEvent")->text(), "Note 3 in escrow.");
  EXPECT_EQ(eventColour(w), tolvar::kEventOrange);
  EXPECT_TRUE(named<QWidget>(w, "fraNote")->isVisibleTo(&w));
  ASSERT_EQ(named<QTreeWidget>(w, "lstvwEventBuffer")->topLevelItemCount(), 6);
  EXPECT_EQ(named<QTreeWidget>(w, "lstvwEventBuffer")->topLevelItem(0)->text(0), "Event #");
  EXPECT_EQ(named<QTreeWidget>(w, "lstvwEventBuffer")->topLevelItem(1)->text(0), "Event 1");
  EXPECT_EQ(named<QTreeWidget>(w, "lstvwEventBuffer")->topLevelItem(1)->text(1), "3");
  EXPECT_EQ(named<QTreeWidget>(w, "lstvwEventBuffer")->topLevelItem(1)->text(2), "1");
  // The user's own command (Poll BNV's enable) stays readable for a few seconds: the polls
  // that follow do not wipe its reply or its frames; a poll the user asks for shows at once.
  EXPECT_EQ(w.statusText(), "BNV Reply: ACK");
  EXPECT_TRUE(named<QPlainTextEdit>(w, "txtCommand")->toPlainText().contains(" E4 "));
  const QString counter = named<QTreeWidget>(w, "lstvwEventBuffer")->topLevelItem(0)->text(1);
  w.polling().PollEvents();
  EXPECT_EQ(w.statusText(), "BNV Reply: Event #" + counter);

  named<QPushButton>(w, "cmdStack")->click();
  EXPECT_EQ(w.polling().pendingRoute(), tolvar::kRouteStack);
  EXPECT_TRUE(sim.noteInEscrow());
  w.polling().tick();  // the route goes out instead of a poll
  EXPECT_FALSE(sim.noteInEscrow());
  EXPECT_FALSE(named<QWidget>(w, "fraNote")->isVisibleTo(&w));
  EXPECT_EQ(w.polling().pendingRoute(), tolvar::kRouteNone);
  EXPECT_EQ(named<QLabel>(w, "lblEvent")->text(), "Note 3 in escrow.");
  w.polling().tick();
  EXPECT_EQ(named<QLabel>(w, "lblEvent")->text(), "Note 3 stacked.");
  EXPECT_EQ(eventColour(w), tolvar::kEventGreen);

  // An unchanged counter refreshes the list but leaves the label alone.
  named<QLabel>(w, "lblEvent")->setText("untouched");
  w.polling().tick();
  EXPECT_EQ(named<QLabel>(w, "lblEvent")->text(), "untouched");

  click("tlbHost", "Poll_BNV");
  EXPECT_FALSE(w.polling().timer()->isActive());
  EXPECT_EQ(named<tolvar::HostToolBar>(w, "tlbHost")->button("Poll_BNV")->text(), "Poll BNV");
}

// A note from the bench's own Virtual Validator pane: refused while every note is inhibited, and
// the pane says why; once notes are enabled it reaches escrow and the event label shows it.
TEST_F(BenchOnSimulator, VirtualValidatorPaneInsertsANote) {
  frmHost& w = open();
  w.show();
  tolvar::VirtualValidatorDock dock(sim, &w);
  tolvar::VirtualValidatorPane* pane = dock.pane();
  EXPECT_EQ(pane->masterInhibit->text(), "on: every note is refused");
  pane->note->setCurrentIndex(pane->note->findData(2));
  pane->insertNote->click();
  EXPECT_EQ(pane->lastAction->text(), "insert 2 → ok: note returned, master inhibit on");
  EXPECT_FALSE(sim.noteInEscrow());

  click("tlbEnable", "Enable_All");
  click("tlbHost", "Poll_BNV");
  w.polling().tick();
  pane->insertNote->click();
  EXPECT_EQ(pane->lastAction->text(), "insert 2 → ok: GB0010A held in escrow");
  EXPECT_TRUE(pane->escrow->text().startsWith("GB0010A, given back in "))
      << pane->escrow->text().toStdString();
  EXPECT_EQ(pane->inhibitedNotes->text(), "none");
  w.polling().tick();
  EXPECT_EQ(named<QLabel>(w, "lblEvent")->text(), "Note 2 in escrow.");
  EXPECT_EQ(eventColour(w), tolvar::kEventOrange);
}

// Each of the pane's controls does its own thing to the simulator and says so in the console's
// words, a value it cannot take included.
TEST_F(BenchOnSimulator, EachVirtualValidatorControlActsAndSaysWhatItDid) {
  frmHost& w = open();
  tolvar::VirtualValidatorDock dock(sim, &w);
  tolvar::VirtualValidatorPane* p = dock.pane();
  const auto fault = [](bnvsim::Fault kind) { return static_cast<std::size_t>(kind); };
  const struct {
    std::function<void()> act;
    const char* shown;
    std::function<bool()> done;
  } controls[] = {
      {[p] { p->insertUnknown->click(); },
       "insert 15 → ok: note returned, not a note of this validator",
       [this] { return sim.eventCounter() == 1; }},
      {[p] {
         p->selfTestCode->setValue(39);
         p->setSelfTest->click();
       },
       "selftest 39 → ok", [this] { return sim.activeFaults().selfTestCode == 39; }},
      {[p] {
         p->faultKind->setCurrentText(QStringLiteral("wronglength"));
         p->faultCount->setValue(3);
         p->injectFault->click();
       },
       "fault wronglength 3 → ok",
       [this, fault] { return sim.activeFaults().queued[fault(bnvsim::Fault::WrongLength)] == 3; }},
      {[p] {
         p->faultKind->setCurrentText(QStringLiteral("noise"));
         p->faultProbability->setValue(0.25);
         p->setProbability->click();
       },
       "probability noise 0.25 → ok",
       [this, fault] {
         return sim.activeFaults().probability[fault(bnvsim::Fault::Noise)] == 0.25;
       }},
      {[p] { p->clearFaults->click(); }, "fault clear → ok: no faults",
       [p] { return p->faults->text() == QLatin1String("none"); }},
      {[p] { p->pacing->click(); }, "pacing on → ok", [this] { return sim.lineOptions().pacing; }},
      {[p] {
         p->key->setText(QStringLiteral("12"));
         p->setKey->click();
       },
       "key 12 → usage: key DIGITS (six decimal digits)",
       [this] { return sim.lineOptions().key == QLatin1String("582604"); }},
      {[p] {
         p->key->setText(QStringLiteral("123456"));
         p->setKey->click();
       },
       "key 123456 → ok", [this] { return sim.lineOptions().key == QLatin1String("123456"); }},
      {[p] {
         p->replyDelay->setValue(25);
         p->setDelay->click();
       },
       "delay 25 → ok", [this] { return sim.lineOptions().replyDelayMs == 25; }},
  };
  for (const auto& [act, shown, done] : controls) {
    SCOPED_TRACE(shown);
    act();
    EXPECT_EQ(p->lastAction->text(), QString::fromUtf8(shown));
    EXPECT_TRUE(done());
  }
}

// The escrow buttons go when the note leaves escrow by a path the host did not take: the hold
// time runs out, the note jams, the unit is power-cycled.
TEST_F(BenchOnSimulator, EscrowButtonsGoWhenTheNoteLeavesByAnyPath) {
  bnvsim::SimulatorOptions options;
  options.escrowHoldMs = 300;
  bnvsim::Simulator quick{options};
  ASSERT_TRUE(quick.start());
  frmHost w(ui, tolvar::HostOptions{settingsPath(), quick.slavePath()});
  const auto press = [&w](const char* bar, const char* key) {
    named<tolvar::HostToolBar>(w, QString::fromLatin1(bar))
        ->button(QString::fromLatin1(key))
        ->trigger();
  };
  press("tlbEnable", "Enable_All");
  press("tlbHost", "Poll_BNV");
  QWidget* buttons = named<QWidget>(w, "fraNote");
  const std::pair<const char*, std::function<void()>> leavings[] = {
      {"hold time",
       [] {
         QEventLoop wait;
         QTimer::singleShot(500, &wait, &QEventLoop::quit);
         wait.exec();
       }},
      {"jam", [&quick] { quick.jam(); }},
      {"power cycle", [&quick, &press] {
         quick.reset();
         press("tlbEnable", "Enable_All");
       }}};
  for (const auto& [how, leave] : leavings) {
    SCOPED_TRACE(how);
    w.polling().tick();
    ASSERT_EQ(quick.insertNote(2).outcome, bnvsim::Insertion::Held);
    w.polling().tick();
    EXPECT_TRUE(buttons->isVisibleTo(&w));
    leave();
    w.polling().TogglePolling(true);  // the enable a power cycle closed, then a poll
    w.polling().tick();
    EXPECT_FALSE(buttons->isVisibleTo(&w));
  }
}

TEST_F(PollingBench, ReturnAndHold) {
  frmHost& w = startPolling();
  sim.insertNote(2);
  w.polling().tick();
  named<QPushButton>(w, "cmdHoldNote")->click();
  w.polling().tick();
  EXPECT_TRUE(named<QWidget>(w, "fraNote")->isVisibleTo(&w));
  EXPECT_EQ(w.polling().pendingRoute(), tolvar::kRouteNone);
  EXPECT_TRUE(sim.noteInEscrow());
  named<QPushButton>(w, "cmdReturn")->click();
  w.polling().tick();
  EXPECT_FALSE(sim.noteInEscrow());
  EXPECT_FALSE(named<QWidget>(w, "fraNote")->isVisibleTo(&w));
  w.polling().tick();
  EXPECT_EQ(named<QLabel>(w, "lblEvent")->text(), "Note Returned");
  EXPECT_EQ(eventColour(w), tolvar::kEventRed);
}

// A reset, like a power cycle, leaves no note to route and a validator refusing every note: the
// event label says so in red. Losing the port leaves no note to route either: the request
// waiting for the next tick is not sent to whatever answers when the port comes back.
TEST_F(PollingBench, ARestartOrALostPortLeavesNoNoteToRoute) {
  frmHost& w = startPolling();
  sim.insertNote(1);
  w.polling().tick();
  named<QPushButton>(w, "cmdStack")->click();
  click("tlbHost", "Reset");
  EXPECT_EQ(w.polling().pendingRoute(), tolvar::kRouteNone);
  EXPECT_FALSE(named<QWidget>(w, "fraNote")->isVisibleTo(&w));
  // What the reset changed is read back behind its reply, once the line is free: the master
  // inhibit is on again.
  QTest::qWait(50);
  EXPECT_EQ(named<QLabel>(w, "lblMasterInh")->text(), "ON");
  EXPECT_EQ(w.statusText(), "BNV Reply: ACK");
  w.polling().tick();
  EXPECT_EQ(named<QLabel>(w, "lblEvent")->text(), "Validator Inhibited (restarted)");
  EXPECT_EQ(eventColour(w), tolvar::kEventRed);

  click("tlbEnable", "Enable_All");
  click("tlbUtility", "Set_M_Inh1");
  sim.insertNote(2);
  w.polling().tick();
  ASSERT_TRUE(named<QWidget>(w, "fraNote")->isVisibleTo(&w));
  named<QPushButton>(w, "cmdStack")->click();
  ASSERT_EQ(w.polling().pendingRoute(), tolvar::kRouteStack);
  w.portAction()->trigger();  // the port goes
  EXPECT_EQ(historyTexts(w).last(), "Link lost: " + sim.slavePath() + " closed (Comms Disabled)");
  EXPECT_EQ(w.polling().pendingRoute(), tolvar::kRouteNone);
  EXPECT_FALSE(named<QWidget>(w, "fraNote")->isVisibleTo(&w));
  EXPECT_FALSE(named<QPushButton>(w, "cmdStack")->isChecked());
  w.portAction()->trigger();
  w.polling().tick();
  EXPECT_TRUE(sim.noteInEscrow());  // nothing was routed behind the user's back
}

// Encryption switched on or off while polling counts from the next poll, not from the next
// start of polling.
TEST_F(PollingBench, EncryptionChangedWhilePollingCountsFromTheNextPoll) {
  frmHost& w = startPolling();
  w.polling().tick();
  bnvsim::LineOptions line = sim.lineOptions();
  line.encryption = true;
  sim.setLineOptions(line);
  named<QCheckBox>(w, "chkEncrpyt")->setChecked(true);
  sim.insertNote(3);
  w.polling().tick();
  EXPECT_EQ(named<QLabel>(w, "lblEvent")->text(), "Note 3 in escrow.");
  line.encryption = false;
  sim.setLineOptions(line);
  named<QCheckBox>(w, "chkEncrpyt")->setChecked(false);
  named<QPushButton>(w, "cmdReturn")->click();
  w.polling().tick();
  w.polling().tick();
  EXPECT_EQ(named<QLabel>(w, "lblEvent")->text(), "Note Returned");
}

TEST_F(PollingBench, PendingRouteSurvivesAFailedTick) {
  frmHost& w = startPolling();
  sim.insertNote(4);
  w.polling().tick();
  named<QPushButton>(w, "cmdStack")->click();
  sim.injectFault(bnvsim::Fault::Busy);
  w.polling().tick();
  EXPECT_EQ(w.polling().pendingRoute(), tolvar::kRouteStack);
  EXPECT_TRUE(named<QWidget>(w, "fraNote")->isVisibleTo(&w));
  const QString countBefore = named<QTreeWidget>(w, "lstvwEventBuffer")->topLevelItem(0)->text(1);
  w.polling().tick();  // the retry, still before any poll
  EXPECT_EQ(w.polling().pendingRoute(), tolvar::kRouteNone);
  EXPECT_FALSE(sim.noteInEscrow());
  EXPECT_EQ(named<QTreeWidget>(w, "lstvwEventBuffer")->topLevelItem(0)->text(1), countBefore);

  // A busy poll right after the route: the route's reply stays to be read, the status label
  // says BUSY.
  sim.injectFault(bnvsim::Fault::Busy);
  w.polling().tick();
  EXPECT_EQ(w.statusText(), "BNV Reply: ACK");
  EXPECT_EQ(w.control()->lblStatus->text(), "BUSY");
  EXPECT_EQ(named<QTreeWidget>(w, "lstvwEventBuffer")->topLevelItem(0)->text(1), countBefore);
}

// The validator answers, but keeps the note: the buttons stay, the event label says why in red
// and the polls after it leave that there.
TEST_F(PollingBench, ARefusedRouteKeepsTheNoteAndSaysWhy) {
  frmHost& w = startPolling();
  sim.insertNote(3);
  w.polling().tick();
  named<QPushButton>(w, "cmdStack")->click();
  EXPECT_TRUE(named<QPushButton>(w, "cmdStack")->isChecked());  // pending until it has gone out
  EXPECT_FALSE(named<QPushButton>(w, "cmdReturn")->isChecked());
  sim.injectFault(bnvsim::Fault::Nak);
  w.polling().tick();
  EXPECT_TRUE(sim.noteInEscrow());
  EXPECT_TRUE(named<QWidget>(w, "fraNote")->isVisibleTo(&w));
  EXPECT_EQ(w.polling().pendingRoute(), tolvar::kRouteNone);
  EXPECT_FALSE(named<QPushButton>(w, "cmdStack")->isChecked());
  EXPECT_EQ(named<QLabel>(w, "lblEvent")->text(), "Route Refused (NACK)");
  EXPECT_EQ(eventColour(w), tolvar::kEventRed);
  w.polling().tick();
  w.polling().tick();
  EXPECT_EQ(named<QLabel>(w, "lblEvent")->text(), "Route Refused (NACK)");

  // A bad address with a route pending: one box, and the request is dropped.
  named<QPushButton>(w, "cmdReturn")->click();
  named<QLineEdit>(w, "txtAddress")->setText("300");
  const int frames = sim.framesReceived();
  for (int i = 0; i < 3; ++i) w.polling().tick();
  EXPECT_EQ(ui.messages().size(), 1u);
  EXPECT_EQ(w.polling().pendingRoute(), tolvar::kRouteNone);
  EXPECT_FALSE(named<QPushButton>(w, "cmdReturn")->isChecked());
  EXPECT_TRUE(sim.noteInEscrow());
  EXPECT_EQ(sim.framesReceived(), frames + 2);  // the two polls after it, at the last address
}

TEST_F(PollingBench, JunkInTheAddressBoxKeepsTheLastValidAddress) {
  frmHost& w = startPolling();
  for (const char* junk : {"abc", "300", "-1", "40.5x", ""}) {
    named<QLineEdit>(w, "txtAddress")->setText(junk);
    EXPECT_EQ(w.polling().PollEvents(), 0) << junk;
  }
  named<QLineEdit>(w, "txtAddress")
      ->setText("7");  // nobody there: the poll fails instead of reaching 40
  EXPECT_NE(w.polling().PollEvents(), 0);
}

TEST_F(PollingBench, SingleStepPollsOnceAndReleasesTheButton) {
  frmHost& w = open();
  w.settings().SnglStp = true;
  click("tlbEnable", "Enable_All");
  sim.insertNote(1);  // inhibited until the poll press lifts the master inhibit
  const int before = sim.framesReceived();
  click("tlbHost", "Poll_BNV");
  EXPECT_EQ(sim.framesReceived(), before + 2);
  EXPECT_FALSE(named<tolvar::HostToolBar>(w, "tlbHost")->button("Poll_BNV")->isChecked());
  EXPECT_FALSE(w.polling().timer()->isActive());
  EXPECT_EQ(named<tolvar::HostToolBar>(w, "tlbHost")->button("Poll_BNV")->text(), "Poll BNV");
  EXPECT_EQ(named<QTreeWidget>(w, "lstvwEventBuffer")->topLevelItemCount(), 6);

  sim.insertNote(2);
  click("tlbHost", "Poll_BNV");
  EXPECT_EQ(named<QLabel>(w, "lblEvent")->text(), "Note 2 in escrow.");
  // In single step an escrow button routes at once.
  named<QPushButton>(w, "cmdStack")->click();
  EXPECT_FALSE(sim.noteInEscrow());
  EXPECT_TRUE(named<QWidget>(w, "fraNote")->isVisibleTo(&w));
  // Pressed again before a poll: the validator has no note to route, says so, and the escrow
  // buttons go.
  named<QPushButton>(w, "cmdStack")->click();
  EXPECT_FALSE(named<QWidget>(w, "fraNote")->isVisibleTo(&w));
  EXPECT_EQ(named<QLabel>(w, "lblEvent")->text(), quennet::kRouteNoNoteText);
  EXPECT_EQ(eventColour(w), tolvar::kEventRed);
}

// What a hand does at the validator, read by the next poll and shown on the event label: its
// text and the colour its pixels are drawn in. A status the validator reports is red; a note in
// escrow orange. Cash box and stacker news only inform, but the label draws every status alike.
TEST_F(BenchOnSimulator, WhatTheValidatorReportsReadsOnTheEventLabel) {
  frmHost& w = open();
  w.show();
  tolvar::VirtualValidatorDock dock(sim, &w);
  tolvar::VirtualValidatorPane* pane = dock.pane();
  click("tlbEnable", "Enable_All");
  click("tlbHost", "Poll_BNV");
  w.polling().tick();
  pane->note->setCurrentIndex(pane->note->findData(2));
  const struct {
    QPushButton* button;
    const char* text;
    QColor colour;
  } reports[] = {{pane->insertNote, "Note 2 in escrow.", tolvar::kEventOrange},
                 {pane->jam, "Note Jammed in Validator", tolvar::kEventRed},
                 {pane->cheat, "Note Pulled Backwards", tolvar::kEventRed},
                 {pane->stackerFull, "Stacker Full", tolvar::kEventRed},
                 {pane->cashBoxOut, "Cash Box Removed", tolvar::kEventRed},
                 {pane->cashBoxIn, "Cash Box Inserted", tolvar::kEventRed}};
  for (const auto& [button, text, colour] : reports) {
    SCOPED_TRACE(text);
    button->click();
    w.polling().tick();
    EXPECT_EQ(named<QLabel>(w, "lblEvent")->text(), QLatin1String(text));
    EXPECT_EQ(eventColour(w), colour);
  }
}

// A note inserted while the validator is in master inhibit (after a power cycle) is refused with
// the pair (0, 0) and the counter moving on: the label reads it in red with its reason, and the
// event history lists it as the event it is, with nothing lost and no read doubted. The same on
// the Virtual Validator pane's buttons and on bnvsim run as a program on a port typed into the
// options.
TEST_F(BenchOnSimulator, ANoteRefusedInMasterInhibitReadsRedWithItsReason) {
  const auto check = [](frmHost& w) {
    EXPECT_EQ(renderedTextColour(named<QLabel>(w, "lblEvent")), tolvar::kEventRed);
    const QStringList history = historyTexts(w);
    EXPECT_EQ(history.count(kRefused), 1) << history.join(" | ").toStdString();
    for (const QString& row : history) {
      EXPECT_FALSE(row.contains("lost") || row.contains("Inconsistent")) << row.toStdString();
    }
  };
  {
    SCOPED_TRACE("Virtual Validator pane");
    frmHost& w = open();
    w.show();
    tolvar::VirtualValidatorDock dock(sim, &w);
    tolvar::VirtualValidatorPane* pane = dock.pane();
    click("tlbEnable", "Enable_All");
    click("tlbHost", "Poll_BNV");
    pane->cashBoxOut->click();
    w.polling().tick();
    pane->powerCycle->click();
    w.polling().tick();
    EXPECT_EQ(named<QLabel>(w, "lblEvent")->text(), kRestarted);
    pane->note->setCurrentIndex(pane->note->findData(2));
    pane->insertNote->click();
    EXPECT_EQ(pane->lastAction->text(), "insert 2 → ok: note returned, master inhibit on");
    w.polling().tick();
    EXPECT_EQ(named<QLabel>(w, "lblEvent")->text(), kRefused);
    check(w);
  }
  {
    SCOPED_TRACE("bnvsim on a typed port");
    QProcess device;
    device.start(QStringLiteral(QUENNET_BNVSIM), {});
    ASSERT_TRUE(device.waitForReadyRead(10000));
    const QString port = QString::fromLocal8Bit(device.readLine()).trimmed();
    ASSERT_TRUE(port.startsWith("/dev/")) << port.toStdString();
    frmHost& w = open();
    w.show();
    ui.queueDialog<tolvar::frmOptions>([&port](tolvar::frmOptions& d) {
      d.cboCommPort->setCurrentText(port);
      d.cmdOK->click();
    });
    click("tlbHost", "Options");
    ASSERT_TRUE(w.control()->Enabled());
    EXPECT_EQ(w.windowTitle(), "Tolvar - " + port);
    click("tlbEnable", "Enable_All");
    click("tlbHost", "Poll_BNV");
    EXPECT_EQ(w.statusText(), "BNV Reply: ACK");
    device.write("cashbox out\n");
    EXPECT_TRUE(tickUntilEvent(w, "Cash Box Removed"));
    device.write("reset\n");
    EXPECT_TRUE(tickUntilEvent(w, kRestarted));
    device.write("insert 2\n");
    EXPECT_TRUE(tickUntilEvent(w, kRefused)) << named<QLabel>(w, "lblEvent")->text().toStdString();
    check(w);
    host.reset();
    device.write("quit\n");
    device.closeWriteChannel();
    EXPECT_TRUE(device.waitForFinished(10000));
  }
}

// What the form shows of the device follows every command that changed it, whoever sent it (a
// button, the console), and is read again after a power cycle: the note ticks, the master
// inhibit, the bill mode.
TEST_F(BenchOnSimulator, TheFormFollowsTheDeviceWhoeverChangesIt) {
  frmHost& w = open();
  w.show();
  tolvar::VirtualValidatorDock dock(sim, &w);
  tolvar::VirtualValidatorPane* pane = dock.pane();
  QTreeWidget* notes = named<QTreeWidget>(w, "lstvwNoteID");
  QLabel* master = named<QLabel>(w, "lblMasterInh");
  const auto ticked = [notes] {
    int count = 0;
    for (int i = 0; i < notes->topLevelItemCount(); ++i) {
      if (notes->topLevelItem(i)->checkState(0) == Qt::Checked) ++count;
    }
    return count;
  };
  // The pane's first line says what stands between a note and escrow, as it is now.
  EXPECT_TRUE(pane->lastAction->text().startsWith("Every note is inhibited"));
  click("tlbHost", "Note_Data");
  ASSERT_EQ(notes->topLevelItemCount(), 16);
  click("tlbEnable", "Enable_All");
  EXPECT_EQ(ticked(), 14);  // positions 15 and 16 hold no note
  QTest::qWait(300);        // the pane looks again
  EXPECT_EQ(pane->lastAction->text(), "Master inhibit on: start Poll BNV, then Insert Note.");
  click("tlbHost", "Poll_BNV");
  EXPECT_EQ(master->text(), "OFF");  // polling's enable
  QTest::qWait(300);
  EXPECT_EQ(pane->lastAction->text(), "Ready: Insert Note.");

  tolvar::CommandConsolePane* console = w.consoleDock()->pane();
  const auto enter = [console](const QString& line) {
    console->input->setText(line);
    QTest::keyClick(console->input, Qt::Key_Return);
  };
  enter("SetInhibitStatus 40 1,0");
  EXPECT_EQ(ticked(), 1);
  enter("SetMasterInhibit 40 0");
  EXPECT_EQ(master->text(), "ON");
  enter("SetBillOperatingMode 40 2");
  EXPECT_EQ(named<QLabel>(w, "lblBillMode_1")->text(), "ENABLED");   // escrow
  EXPECT_EQ(named<QLabel>(w, "lblBillMode_0")->text(), "DISABLED");  // stacker
  enter("SetMasterInhibit 40 1");
  enter("SetInhibitStatus 40 255,255");
  EXPECT_EQ(ticked(), 14);
  EXPECT_EQ(master->text(), "OFF");

  // A power cycle: the next poll finds the counter back at 0, and the form reads the device
  // again.
  pane->cashBoxOut->click();
  w.polling().tick();
  pane->powerCycle->click();
  w.polling().tick();
  QTest::qWait(50);
  EXPECT_EQ(ticked(), 0);
  EXPECT_EQ(master->text(), "ON");
}
