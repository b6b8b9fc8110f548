#include <array>

#include <QElapsedTimer>

#include "quennet/link/quennet_error.h"
#include "tests/commands/scripted_device.h"

namespace quennet::testing {
namespace {

using Bus = ScriptedDevice;

TEST_F(Bus, AddressPollCollectsLooseBytesInArrivalOrder) {
  answerAddresses({2, 3, 40});
  std::array<std::uint8_t, 11> addresses{};
  EXPECT_EQ(set_.AddressPoll(addresses), kResultOk);
  EXPECT_EQ(addresses, (std::array<std::uint8_t, 11>{2, 3, 40, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(set_.ReplyLength(), 3);
  EXPECT_EQ(sentDestination(), 0);
  EXPECT_EQ(sentHeader(), 253);
  EXPECT_TRUE(sentData().empty());
}

// What a hostile bus makes of the address poll: only bytes that can be addresses and that came
// in their address's time slot (at most 60 ms late) are devices; more answers than the
// collection keeps say how many.
TEST_F(Bus, AddressPollReportsOnlyAnswersThatCouldBeDevices) {
  struct Row {
    const char* what;
    std::vector<std::uint8_t> devices;
    QByteArray noise;
    std::int16_t result;
    std::vector<std::uint8_t> reported;
    int seen;
    int strayMs = 0;
    QByteArray stray = {};
  };
  std::vector<std::uint8_t> fifteen;
  for (std::uint8_t a = 2; a <= 16; ++a) fifteen.push_back(a);
  const Row rows[] = {
      {"a whole frame", {}, replyFrame(0), kResultTimeout, {}, 0},
      {"garbage", {}, QByteArray::fromHex("aa551328"), kResultTimeout, {}, 0},
      {"garbage, then a device", {40}, QByteArray::fromHex("aa551328"), kResultOk, {40}, 1},
      {"0 and 1 in their slots", {0, 1, 3}, {}, kResultOk, {3}, 1},
      // An ACK frame (01 00 30 00 37) is not devices 48 and 55, whose slots ended before it.
      {"a stray frame at 300 ms",
       {},
       {},
       kResultTimeout,
       {},
       0,
       300,
       QByteArray::fromHex("0100300037")},
      {"byte 5 at 1100 ms, device 7 in its slot",
       {7},
       {},
       kResultOk,
       {7},
       1,
       1100,
       QByteArray(1, char(5))},
      {"fifteen devices",
       fifteen,
       {},
       kResultChecksum,
       {2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13},
       15},
  };
  for (const Row& row : rows) {
    answerAddresses(row.devices, row.noise, row.strayMs, row.stray);
    std::array<std::uint8_t, 20> addresses{};
    EXPECT_EQ(set_.AddressPoll(addresses), row.result) << row.what;
    const std::vector<std::uint8_t> got(addresses.begin(),
                                        addresses.begin() + set_.deliveredDataCount());
    EXPECT_EQ(got, row.reported) << row.what;
    EXPECT_EQ(set_.collectedAnswers(), row.seen) << row.what;
    if (row.result == kResultChecksum) {
      EXPECT_EQ(set_.caption(), QStringLiteral("Reply Overflow [15]")) << row.what;
      EXPECT_EQ(set_.lastTransaction().refusal, Failure::Overflow);
    }
  }
}

// A clash answer is a random value sent in the device's own slot: its value says nothing about
// when it may come, and 0 or 1 are answers too, early or late.
TEST_F(Bus, AddressClashKeepsEveryByteWhateverItsValue) {
  line_->setResponder([this](const QByteArray& written) {
    if (written.size() < 5) return QByteArray();
    line_->deliverLater(4 * 3 + 1, QByteArray(1, char(200)));
    line_->deliverLater(4 * 40 + 1, QByteArray(1, char(1)));
    line_->deliverLater(1100, QByteArray(1, char(5)));
    return QByteArray();
  });
  std::array<std::uint8_t, 4> answers{};
  EXPECT_EQ(set_.AddressClash(answers), kResultOk);
  EXPECT_EQ(answers, (std::array<std::uint8_t, 4>{200, 1, 5, 0}));
  EXPECT_EQ(sentHeader(), 252);
}

TEST_F(Bus, DispenseSendsHopperCodeLeastSignificantFirstThenCount) {
  answerAck();
  set_.setHopperCode(0x123456);
  QString text;
  EXPECT_EQ(set_.Dispense_Coins(3, 9, text), kResultOk);
  EXPECT_EQ(sentDestination(), 3);
  EXPECT_EQ(sentHeader(), 167);
  EXPECT_EQ(sentData(), (std::vector<std::uint8_t>{0x56, 0x34, 0x12, 9}));

  line_->clearLog();
  set_.setHopperCode(CommandSet::kDefaultHopperCode);
  EXPECT_EQ(set_.Dispense_Coins(3, 1, text), kResultOk);
  EXPECT_EQ(sentData(), (std::vector<std::uint8_t>{0x04, 0xE8, 0xE8, 1}));
}

TEST_F(Bus, DispenseRefusesHopperCodesOutsideThreeBytes) {
  answerAck();
  QString text;
  for (const std::int32_t code : {16777216, -1}) {
    set_.setHopperCode(code);
    try {
      set_.Dispense_Coins(3, 1, text);
      ADD_FAILURE() << "code " << code << " was accepted";
    } catch (const QuennetError& error) {
      EXPECT_EQ(error.number(), kErrOverflow);
    }
  }
  EXPECT_TRUE(nothingSent());
  set_.setHopperCode(16777215);
  EXPECT_EQ(set_.Dispense_Coins(3, 1, text), kResultOk);
  EXPECT_EQ(sentData(), (std::vector<std::uint8_t>{0xFF, 0xFF, 0xFF, 1}));
}

TEST_F(Bus, HopperEnableAndDisableShareOneHeader) {
  answerAck();
  QString text;
  EXPECT_EQ(set_.Enable_Hopper(3, text), kResultOk);
  EXPECT_EQ(sentHeader(), 164);
  EXPECT_EQ(sentData(), (std::vector<std::uint8_t>{165}));

  line_->clearLog();
  answer(replyFrame(kHeaderBusy));
  const QVariant result = set_.Disable_Hopper(3, text);
  EXPECT_EQ(result.typeId(), QMetaType::Int);
  EXPECT_EQ(result.toInt(), kResultBusy);
  EXPECT_EQ(sentHeader(), 164);
  EXPECT_EQ(sentData(), (std::vector<std::uint8_t>{0}));
}

TEST_F(Bus, HopperStopSendsTheStopHeaderAlone) {
  answerAck();
  QString text;
  EXPECT_EQ(set_.Hopper_Stop(3, text), kResultOk);
  EXPECT_EQ(text, QStringLiteral("ACK"));
  EXPECT_EQ(sentHeader(), 172);
  EXPECT_TRUE(sentData().empty());
}

TEST_F(Bus, HopperCountAndStatus) {
  answerData({0x01, 0x00, 0x01});
  std::int32_t count = 0;
  EXPECT_EQ(set_.Get_Hopper_Count(3, count), kResultOk);
  EXPECT_EQ(count, 65537);
  EXPECT_EQ(sentHeader(), 168);

  line_->clearLog();
  answerData({1, 2});
  std::array<std::uint8_t, 2> status{};
  EXPECT_EQ(set_.Test_Hopper(3, status), kResultOk);
  EXPECT_EQ(sentHeader(), 163);
  EXPECT_TRUE(sentData().empty());
  EXPECT_EQ(status, (std::array<std::uint8_t, 2>{1, 2}));
}

TEST_F(Bus, AddressChangeSendsTheNewAddressToTheOldOne) {
  answerAck();
  QString text;
  EXPECT_EQ(set_.AddressChange(kDevice, 50, text), kResultOk);
  EXPECT_EQ(text, QStringLiteral("ACK"));
  EXPECT_EQ(sentDestination(), kDevice);
  EXPECT_EQ(sentHeader(), 251);
  EXPECT_EQ(sentData(), (std::vector<std::uint8_t>{50}));
}

}  // namespace
}  // namespace quennet::testing
