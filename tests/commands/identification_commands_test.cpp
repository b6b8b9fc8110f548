#include <array>
#include <string>

#include "quennet/commands/date_code.h"
#include "tests/commands/scripted_device.h"

namespace quennet::testing {
namespace {

using Identification = ScriptedDevice;

struct SerialRow {
  std::vector<std::uint8_t> reply;
  const char* text;
};

class SerialNumber : public ScriptedDevice, public ::testing::WithParamInterface<SerialRow> {};

TEST_P(SerialNumber, FirstReplyByteIsMostSignificantAndPaddedToSeven) {
  answerData(GetParam().reply);
  QString text = QStringLiteral("old");
  EXPECT_EQ(set_.GetSerialNo(kDevice, text), kResultOk);
  EXPECT_EQ(text, QString::fromLatin1(GetParam().text));
  EXPECT_EQ(sentHeader(), 242);
  EXPECT_TRUE(sentData().empty());
}

INSTANTIATE_TEST_SUITE_P(Replies, SerialNumber,
                         ::testing::Values(SerialRow{{0x01, 0x02, 0x03}, "0066051"},
                                           SerialRow{{0xFF, 0xFF, 0xFF}, "16777215"},
                                           SerialRow{{0x00, 0x00, 0x07}, "0000007"}));

TEST_F(Identification, SerialNumberOfASilentDeviceIsSevenZeros) {
  answer({});
  QString text = QStringLiteral("old");
  EXPECT_EQ(set_.GetSerialNo(kDevice, text), kResultTimeout);
  EXPECT_EQ(text, QStringLiteral("0000000"));
}

TEST_F(Identification, RomChecksumAppendsHexWithoutLeadingZeros) {
  answerData({0x12, 0x0A, 0x00, 0xFF});
  QString empty;
  EXPECT_EQ(set_.GetROMChksum(kDevice, empty), kResultOk);
  EXPECT_EQ(empty, QStringLiteral("12A0FF"));
  QString prefixed = QStringLiteral("X");
  EXPECT_EQ(set_.GetROMChksum(kDevice, prefixed), kResultOk);
  EXPECT_EQ(prefixed, QStringLiteral("X12A0FF"));
  EXPECT_EQ(sentHeader(), 197);
}

TEST_F(Identification, RomChecksumAfterBusyAppendsFourZeros) {
  answer(replyFrame(kHeaderBusy));
  QString text = QStringLiteral("X");
  EXPECT_EQ(set_.GetROMChksum(kDevice, text), kResultBusy);
  EXPECT_EQ(text, QStringLiteral("X0000"));
}

TEST_F(Identification, CreationDateDecodesTheDateWordOrUnknown) {
  answerData({0x65, 0x07});
  QString date;
  EXPECT_EQ(set_.GetCreationDate(kDevice, date), kResultOk);
  EXPECT_EQ(date, QStringLiteral("05/11/03"));
  EXPECT_EQ(sentHeader(), 196);

  answer(replyFrame(kHeaderBusy));
  EXPECT_EQ(set_.GetCreationDate(kDevice, date), kResultBusy);
  EXPECT_EQ(date, QStringLiteral("Unknown"));
}

TEST(DateCode, FieldsComeFromTheirBitsAndTopBitsAreIgnored) {
  EXPECT_EQ(FormatDateCode(0x65, 0x07), QStringLiteral("05/11/03"));
  // Month 12 needs bit 8 (the low bit of the high byte); year 31 is the largest.
  EXPECT_EQ(FormatDateCode(0x9F, 0x3F), QStringLiteral("31/12/31"));
  EXPECT_EQ(FormatDateCode(0x9F, 0xFF), QStringLiteral("31/12/31"));
  EXPECT_EQ(FormatDateCode(0x00, 0x00), QStringLiteral("00/00/00"));
}

TEST_F(Identification, OptionFlagsFromANakAreZeroAndAFailure) {
  answer(replyFrame(kHeaderNak));
  std::uint8_t mask = 0xAA;
  EXPECT_EQ(set_.GetOptionFlags(kDevice, mask), kResultChecksum);
  EXPECT_EQ(set_.caption(), QStringLiteral("Reply Too Short [NACK]"));
  EXPECT_EQ(mask, 0);
  answerData({0x05});
  EXPECT_EQ(set_.GetOptionFlags(kDevice, mask), kResultOk);
  EXPECT_EQ(mask, 5);
}

TEST_F(Identification, BusyLeavesTextAsPassedIn) {
  answer(replyFrame(kHeaderBusy));
  QString text = QStringLiteral("before");
  EXPECT_EQ(set_.GetManfctrID(kDevice, text), kResultBusy);
  EXPECT_EQ(text, QStringLiteral("before"));
  EXPECT_EQ(set_.caption(), QStringLiteral("BUSY"));
}

TEST_F(Identification, NakReadsAsNackText) {
  answer(replyFrame(kHeaderNak));
  QString text;
  EXPECT_EQ(set_.ResetDevice(kDevice, text), kResultOk);
  EXPECT_EQ(text, QStringLiteral("NACK"));
}

TEST_F(Identification, SmallBytesOfATextReplyReadAsDigits) {
  answerData({1, 4, 2});
  QString text;
  EXPECT_EQ(set_.GetCommsRevn(kDevice, text), kResultOk);
  EXPECT_EQ(text, QStringLiteral("142"));
  EXPECT_EQ(sentHeader(), 4);
}

TEST_F(Identification, CallerArrayTakesReplyFromIndexZeroAndKeepsTheRest) {
  answerData({7, 8, 9});
  std::array<std::uint8_t, 5> errors = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
  EXPECT_EQ(set_.GetCommsStatus(kDevice, errors), kResultOk);
  EXPECT_EQ(errors, (std::array<std::uint8_t, 5>{7, 8, 9, 0xEE, 0xEE}));

  answerAck();
  EXPECT_EQ(set_.GetCommsStatus(kDevice, errors), kResultChecksum);
  EXPECT_EQ(errors[0], 7) << "an empty reply leaves the array alone";
}

TEST_F(Identification, TooLongAReplyForAnOwnBufferFails) {
  answerData({1, 2, 3, 4});
  QString text;
  EXPECT_EQ(set_.GetSerialNo(kDevice, text), kResultChecksum);
  EXPECT_EQ(text, QStringLiteral("0000000"));
}

}  // namespace
}  // namespace quennet::testing
