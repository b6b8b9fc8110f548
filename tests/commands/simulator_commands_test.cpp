// The command set over a real pseudo-terminal against the virtual validator: CRC frames and an
// echoing line, as the test bench talks.
#include <array>
#include <memory>

#include <QThread>

#include <gtest/gtest.h>

#include "bnvsim/simulator.h"
#include "quennet/commands/command_set.h"
#include "quennet/commands/reply_renderings.h"
#include "quennet/link/qt_serial_line.h"

namespace quennet {
namespace {

constexpr std::uint8_t kValidator = 40;

class OnSimulator : public ::testing::Test {
 protected:
  void SetUp() override {
    QString error;
    ASSERT_TRUE(sim_.start(&error)) << error.toStdString();
    auto line = std::make_unique<QtSerialLine>();
    line->setDeviceName(sim_.slavePath());
    line->setSettings(QStringLiteral("9600,n,8,1"));
    ASSERT_TRUE(line->open());
    set_.setLine(std::move(line));
    set_.setChecksumType(CHKSM_16BIT);
    set_.setCommsEcho(true);
  }

  bnvsim::Simulator sim_{bnvsim::SimulatorOptions{}};
  CommandSet set_;
};

TEST_F(OnSimulator, IdentificationCommands) {
  QString text;
  EXPECT_EQ(set_.SendPoll(kValidator, text), kResultOk);
  EXPECT_EQ(text, QStringLiteral("ACK"));
  EXPECT_EQ(set_.GetManfctrID(kValidator, text), kResultOk);
  EXPECT_EQ(text, QStringLiteral("QNT"));
  EXPECT_EQ(set_.GetSerialNo(kValidator, text), kResultOk);
  EXPECT_EQ(text, QStringLiteral("8902162"));
  EXPECT_EQ(serialLabelOf(set_.sentInClear(), set_.replyInClear()), QStringLiteral("1234567"))
      << "the label reads the bytes least significant first";
  EXPECT_EQ(set_.GetCreationDate(kValidator, text), kResultOk);
  EXPECT_EQ(text, QStringLiteral("15/03/24"));
  QString checksum;
  EXPECT_EQ(set_.GetROMChksum(kValidator, checksum), kResultOk);
  EXPECT_EQ(checksum, QStringLiteral("3CA0E7"));
}

TEST_F(OnSimulator, EnableAcceptAndStackANote) {
  QString text;
  const std::array<std::uint8_t, 2> all = {0xFF, 0xFF};
  ASSERT_EQ(set_.SetInhibitStatus(kValidator, all, text), kResultOk);
  EXPECT_EQ(sim_.inhibitMask(), all);
  ASSERT_EQ(set_.SetMasterInhibit(kValidator, 1, text), kResultOk);
  EXPECT_EQ(sim_.masterInhibit(), 1);

  sim_.insertNote(3);
  std::array<std::uint8_t, 11> events{};
  ASSERT_EQ(set_.GetEventBuffer(kValidator, events), kResultOk);
  EXPECT_EQ(events[1], 3);
  EXPECT_EQ(events[2], 1) << "held in escrow";
  EXPECT_EQ(set_.RouteBill(kValidator, 1, text), kResultOk);
  EXPECT_EQ(text, QStringLiteral("ACK"));
  EXPECT_EQ(set_.RouteBill(kValidator, 1, text), kResultOk);
  EXPECT_EQ(text, QStringLiteral("No Note in Escrow"));

  ASSERT_EQ(set_.GetEventBuffer(kValidator, events), kResultOk);
  EXPECT_EQ(events[1], 3);
  EXPECT_EQ(events[2], 0) << "stacked";
  std::int32_t count = 0;
  EXPECT_EQ(set_.GetAcceptCntr(kValidator, count), kResultOk);
  EXPECT_EQ(count, 1);
}

TEST_F(OnSimulator, BusyAndSilenceAreResultCodes) {
  QString text = QStringLiteral("kept");
  sim_.injectFault(bnvsim::Fault::Busy);
  EXPECT_EQ(set_.GetEqptID(kValidator, text), kResultBusy);
  EXPECT_EQ(text, QStringLiteral("kept"));
  sim_.injectFault(bnvsim::Fault::Silent);
  EXPECT_EQ(set_.SendPoll(kValidator, text), kResultTimeout);
  EXPECT_EQ(set_.SendPoll(kValidator, text), kResultOk);
}

}  // namespace
}  // namespace quennet
