// The control restored the way a container restores it, talking to the virtual validator over
// a pseudo-terminal named by PortName.
#include <gtest/gtest.h>

#include "bnvsim/simulator.h"
#include "control/control_fixture.h"
#include "quennet/control/control_core.h"

using namespace quennet;
using controltest::CapturedMessages;

namespace {

constexpr std::uint8_t kValidator = 40;
// The simulator's default key 582604 packed as the host packs typed digits.
constexpr std::int32_t kSimulatorKeyCode = 0x406285;

struct Bench {
  explicit Bench(bnvsim::SimulatorOptions options = {}) : simulator(options) {
    QString error;
    started = simulator.start(&error);
    EXPECT_TRUE(started) << error.toStdString();
    control.setMessages(&messages);
    saved.setValue(QStringLiteral("Enabled"), true);
    saved.setValue(QStringLiteral("CommsEcho"), options.line.echo);
    saved.setValue(QStringLiteral("ChecksumType"), options.line.crc ? CHKSM_16BIT : CHKSM_8BIT);
    saved.setValue(QStringLiteral("Encryption"), options.line.encryption);
    saved.setValue(QStringLiteral("KeyCode"), kSimulatorKeyCode);
    saved.setValue(QStringLiteral("PortName"), simulator.slavePath());
  }

  bnvsim::Simulator simulator;
  bool started = false;
  ControlCore control;
  CapturedMessages messages;
  MemoryPropertyBag saved;
};

}  // namespace

TEST(ControlEndToEnd, RestoredControlIdentifiesTheValidator) {
  Bench bench;
  ASSERT_TRUE(bench.started);
  ControlCore& c = bench.control;
  c.ReadProperties(bench.saved);
  ASSERT_TRUE(c.Enabled()) << (bench.messages.boxes.empty()
                                   ? ""
                                   : qPrintable(bench.messages.boxes[0].text));
  EXPECT_EQ(c.labelState().caption, QStringLiteral("Comms Ready"));

  QString text;
  EXPECT_EQ(c.SendPoll(kValidator, text), kResultOk);
  EXPECT_EQ(text, QStringLiteral("ACK"));
  EXPECT_EQ(c.GetManfctrID(kValidator, text), kResultOk);
  EXPECT_EQ(text, QStringLiteral("QNT"));
  EXPECT_EQ(c.GetEqptID(kValidator, text), kResultOk);
  EXPECT_EQ(text, QStringLiteral("Bill Validator"));
  EXPECT_EQ(c.GetProductCode(kValidator, text), kResultOk);
  EXPECT_EQ(text, QStringLiteral("QBV1"));
  EXPECT_EQ(c.GetBuildCode(kValidator, text), kResultOk);
  EXPECT_EQ(text, QStringLiteral("QBV16-EU"));
  EXPECT_EQ(c.GetSerialNo(kValidator, text), kResultOk);
  EXPECT_EQ(text, QStringLiteral("8902162"));
  EXPECT_EQ(c.GetCreationDate(kValidator, text), kResultOk);
  EXPECT_EQ(text, QStringLiteral("15/03/24"));
  EXPECT_EQ(c.labelState().caption, QStringLiteral("OK"));
  EXPECT_EQ(c.labelState().backColor, kColorGreen);
  // A route with no note in escrow is answered, so result 0, but nothing was routed: red.
  EXPECT_EQ(c.RouteBill(kValidator, 1, text), kResultOk);
  EXPECT_EQ(text, QString::fromLatin1(kRouteNoNoteText));
  EXPECT_EQ(c.labelState().backColor, kColorRed);

  c.setEnabled(false);
  EXPECT_EQ(c.GetManfctrID(kValidator, text), kResultNotEnabled);
}

TEST(ControlEndToEnd, RestoredKeyCodeEncryptsOnlyAfterARunTimeLet) {
  bnvsim::SimulatorOptions options;
  options.line.encryption = true;
  Bench bench(options);
  ASSERT_TRUE(bench.started);
  ControlCore& c = bench.control;
  c.ReadProperties(bench.saved);
  ASSERT_TRUE(c.Enabled());

  QString text;
  // Scrambled with key digits 0 the frame fails the device's CRC check: it stays silent.
  EXPECT_EQ(c.GetManfctrID(kValidator, text), kResultTimeout);
  c.setKeyCode(c.KeyCode());
  EXPECT_EQ(c.GetManfctrID(kValidator, text), kResultOk);
  EXPECT_EQ(text, QStringLiteral("QNT"));
}
