#include <gtest/gtest.h>

#include "control/control_fixture.h"
#include "quennet/link/qt_serial_line.h"
#include "support/pty_pair.h"
#include "support/reply_frames.h"

using namespace quennet;
using controltest::CapturedMessages;
using controltest::ScriptedControl;

namespace {

// An ACK from the device once the host's frame is complete.
QByteArray ackWhenComplete(const QByteArray& written) {
  return testframes::completeFrameLength(written) ? testframes::reply(0, {}, false) : QByteArray();
}

class CaptionRecorder : public ControlCore {
 public:
  using ControlCore::ControlCore;
  QStringList captions;

 protected:
  void labelChanged(const LabelState& state) override { captions << state.caption; }
};

}  // namespace

TEST(ControlPort, EnabledOpensClosesAndShowsTheState) {
  ScriptedControl s;
  ControlCore& c = *s.control;
  c.setEnabled(true);
  EXPECT_TRUE(c.Enabled());
  // Open, with nothing heard yet from the line: grey, never the green of a reply.
  EXPECT_EQ(c.labelState().caption, QStringLiteral("Comms Ready"));
  EXPECT_EQ(c.BackColor(), kColorInactiveCaption);
  EXPECT_EQ(c.ForeColor(), kColorInactiveCaptionText);
  c.setEnabled(false);
  EXPECT_FALSE(c.Enabled());
  EXPECT_EQ(c.labelState().caption, QStringLiteral("Comms Disabled"));
  EXPECT_EQ(c.BackColor(), kColorInactiveCaption);
  EXPECT_EQ(c.ForeColor(), kColorInactiveCaptionText);
  EXPECT_EQ(s.line->log, (QStringList{"open /dev/ttyS0", "close /dev/ttyS0"}));
  EXPECT_TRUE(s.messages.boxes.empty());
}

TEST(ControlPort, CommPortChangeWhileEnabledMovesThePort) {
  ScriptedControl s;
  ControlCore& c = *s.control;
  c.setEnabled(true);
  c.setCommPort(3);
  EXPECT_EQ(s.line->log, (QStringList{"open /dev/ttyS0", "close /dev/ttyS0", "open /dev/ttyS2"}));
  EXPECT_TRUE(c.Enabled());
  EXPECT_EQ(c.labelState().toolTip, QStringLiteral("Comm Port 3 (/dev/ttyS2), 9600,n,8,1"));
  EXPECT_EQ(s.changed.last(), QStringLiteral("CommPort"));

  c.setEnabled(false);
  s.line->log.clear();
  c.setCommPort(2);
  EXPECT_TRUE(s.line->log.isEmpty()) << "a disabled control keeps its port closed";
  EXPECT_EQ(c.labelState().toolTip, QStringLiteral("Comm Port 2 (/dev/ttyS1), 9600,n,8,1"));
}

TEST(ControlPort, SettingsChangeLeavesTheToolTipUntilThePortChanges) {
  ScriptedControl s;
  ControlCore& c = *s.control;
  c.setCommPort(1);
  c.setSettings(QStringLiteral("19200,n,8,1"));
  EXPECT_EQ(c.Settings(), QStringLiteral("19200,n,8,1"));
  EXPECT_EQ(s.line->settings(), QStringLiteral("19200,n,8,1"));
  EXPECT_EQ(c.labelState().toolTip, QStringLiteral("Comm Port 1 (/dev/ttyS0), 9600,n,8,1"));
  c.setCommPort(1);
  EXPECT_EQ(c.labelState().toolTip, QStringLiteral("Comm Port 1 (/dev/ttyS0), 19200,n,8,1"));
}

TEST(ControlPort, FailedPortChangeWarnsAndDisables) {
  ScriptedControl s;
  ControlCore& c = *s.control;
  c.setEnabled(true);
  s.changed.clear();
  s.line->setOpenFails(true);
  c.setCommPort(4);
  ASSERT_EQ(s.messages.boxes.size(), 1U);
  EXPECT_EQ(
      s.messages.boxes[0].text,
      QStringLiteral("Zav/cctalk Comms Interface\nComms Port Error: 8002\nInvalid Port Number"));
  EXPECT_EQ(s.messages.boxes[0].title, QStringLiteral("Zav/cctalk Comms Interface"));
  EXPECT_EQ(s.messages.boxes[0].icon, ControlMessages::Icon::Warning);
  EXPECT_FALSE(c.Enabled());
  EXPECT_EQ(c.labelState().caption, QStringLiteral("Comms Error!"));
  // Closed now: never the green of the last good reply.
  EXPECT_EQ(c.BackColor(), kColorInactiveCaption);
  EXPECT_EQ(c.labelState().toolTip, QStringLiteral("Comm Port 1 (/dev/ttyS0), 9600,n,8,1"));
  EXPECT_EQ(s.changed, QStringList{QStringLiteral("Enabled")});

  // The wanted state is now disabled: the next port change does not reopen, a save says so.
  s.line->setOpenFails(false);
  c.setCommPort(5);
  EXPECT_FALSE(c.Enabled());
  MemoryPropertyBag bag;
  c.WriteProperties(bag);
  EXPECT_FALSE(bag.values().contains(QStringLiteral("Enabled")));

  c.setCommPort(0);
  ASSERT_EQ(s.messages.boxes.size(), 2U);
  EXPECT_TRUE(s.messages.boxes[1].text.endsWith(QStringLiteral("8002\nInvalid Port Number")));
  EXPECT_EQ(c.CommPort(), 5);
}

TEST(ControlPort, LineFailureMidTransactionLeavesTheControlClosed) {
  ScriptedControl s;
  ControlCore& c = *s.control;
  c.setEnabled(true);
  s.changed.clear();
  s.line->breakOnNextWait();
  QString reply = QStringLiteral("untouched");
  EXPECT_NE(c.SendPoll(2, reply), kResultOk);
  EXPECT_EQ(reply, QStringLiteral("untouched"));
  EXPECT_FALSE(c.Enabled());
  EXPECT_TRUE(c.labelState().caption.startsWith(QStringLiteral("Comms Error")));
  EXPECT_TRUE(c.labelState().caption.contains(QStringLiteral("The device was removed")));
  EXPECT_EQ(c.BackColor(), kColorInactiveCaption);
  EXPECT_EQ(s.changed, QStringList{"Enabled"});

  const int writes = s.line->writeCalls();
  EXPECT_EQ(c.SendPoll(2, reply), kResultNotEnabled);
  EXPECT_EQ(s.line->writeCalls(), writes);
  MemoryPropertyBag bag;
  c.WriteProperties(bag);
  EXPECT_FALSE(bag.values().contains(QStringLiteral("Enabled")));
}

TEST(ControlPort, CaptionsAndMessageTimeFollowEachTransaction) {
  auto owned = std::make_unique<ScriptedLine>();
  ScriptedLine* line = owned.get();
  CaptionRecorder c(std::move(owned));
  c.setEnabled(true);
  c.captions.clear();

  line->setResponder(ackWhenComplete);
  QString reply;
  EXPECT_EQ(c.SendPoll(40, reply), kResultOk);
  EXPECT_EQ(reply, QStringLiteral("ACK"));
  // The first reply also turns the grey of a port with nothing heard yet green: the caption is
  // shown again in its new colours.
  EXPECT_EQ(c.captions, (QStringList{"Xmit Command <254>", "OK", "OK"}));
  EXPECT_LT(c.MessageTime(), 100);
  c.captions.clear();
  EXPECT_EQ(c.SendPoll(40, reply), kResultOk);
  EXPECT_EQ(c.captions, (QStringList{"Xmit Command <254>", "OK"}));

  line->setResponder({});
  EXPECT_EQ(c.SendPoll(40, reply), kResultTimeout);
  EXPECT_EQ(c.captions.last(), QStringLiteral("Timeout Error [0]"));
  EXPECT_GE(c.MessageTime(), 200);
  EXPECT_LT(c.MessageTime(), 1000);
}

TEST(ControlPort, PortNameOpensAPseudoTerminal) {
  PtyPair pty;
  PtyResponder device(pty, [](const std::vector<unsigned char>&) {
    const QByteArray ack = testframes::reply(0, {}, false);
    return std::vector<unsigned char>(ack.begin(), ack.end());
  });
  ControlCore c;  // the real serial line
  CapturedMessages messages;
  c.setMessages(&messages);
  c.setPortName(pty.slaveName());
  c.setEnabled(true);
  ASSERT_TRUE(c.Enabled()) << (messages.boxes.empty() ? "" : qPrintable(messages.boxes[0].text));
  EXPECT_EQ(c.labelState().toolTip,
            QStringLiteral("Comm Port 1 (") + pty.slaveName() + QStringLiteral("), 9600,n,8,1"));
  QString reply;
  EXPECT_EQ(c.SendPoll(40, reply), kResultOk);
  EXPECT_EQ(reply, QStringLiteral("ACK"));

  c.setPortName(missingPortName());
  EXPECT_FALSE(c.Enabled());
  ASSERT_EQ(messages.boxes.size(), 1U);
  EXPECT_EQ(messages.boxes[0].icon, ControlMessages::Icon::Warning);
  EXPECT_EQ(c.labelState().caption, QStringLiteral("Comms Error!"));
}
