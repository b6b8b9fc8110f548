#include <array>
#include <functional>

#include <QElapsedTimer>

#include "quennet/link/quennet_error.h"
#include "tests/commands/scripted_device.h"

namespace quennet::testing {
namespace {

using Validator = ScriptedDevice;

// A route or stacker cycle answered by its refusal byte keeps result 0 and its text, but is not
// acknowledged; other data is no answer to a command whose reply carries none.
struct RouteRow {
  bool stacker;
  QByteArray reply;
  std::int16_t result;
  const char* text;
  bool acknowledged;
};

class RouteTexts : public ScriptedDevice, public ::testing::WithParamInterface<RouteRow> {};

TEST_P(RouteTexts, OneByteRepliesBecomeRouteTexts) {
  const RouteRow& row = GetParam();
  answer(row.reply);
  QString response = QStringLiteral("kept");
  if (row.stacker) {
    EXPECT_EQ(set_.CycleStacker(kDevice, response), row.result);
    EXPECT_EQ(sentHeader(), 147);
  } else {
    EXPECT_EQ(set_.RouteBill(kDevice, 1, response), row.result);
    EXPECT_EQ(sentHeader(), 154);
    EXPECT_EQ(sentData(), (std::vector<std::uint8_t>{1}));
  }
  EXPECT_EQ(response, QString::fromLatin1(row.text));
  EXPECT_EQ(set_.acknowledged(), row.acknowledged);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, RouteTexts,
    ::testing::Values(RouteRow{false, replyFrame(0), kResultOk, "ACK", true},
                      RouteRow{false, replyFrame(0, {254}), kResultOk, "No Note in Escrow", false},
                      RouteRow{false, replyFrame(0, {255}), kResultOk, "Cannot Route Note", false},
                      RouteRow{false, replyFrame(0, {65}), kResultChecksum, "kept", false},
                      RouteRow{false, replyFrame(0, {254, 254}), kResultChecksum, "kept", false},
                      RouteRow{true, replyFrame(0), kResultOk, "ACK", true},
                      RouteRow{true, replyFrame(0, {254}), kResultOk, "\xFE", false},
                      RouteRow{true, replyFrame(0, {255}), kResultOk, "\xFF", false}));

// Note-number guards: 17 is refused before anything is touched, 16 goes out.
struct GuardRow {
  const char* name;
  std::function<std::int16_t(CommandSet&, std::uint8_t note, QString& text)> call;
};

class NoteGuard : public ScriptedDevice, public ::testing::WithParamInterface<GuardRow> {};

TEST_P(NoteGuard, AboveSixteenReturnsFourAndSendsNothing) {
  answerAck();
  set_.LoadFrame(40, 99);
  QString text = QStringLiteral("kept");
  EXPECT_EQ(GetParam().call(set_, 17, text), kResultNoteNumber);
  EXPECT_TRUE(nothingSent());
  EXPECT_EQ(set_.CommandBuffer().at(4), 99);
  EXPECT_EQ(text, QStringLiteral("kept"));

  // 16 goes out (an ACK answers the commands that send it; the one asking for data fails).
  GetParam().call(set_, 16, text);
  EXPECT_EQ(sentData().at(0), 16);
}

INSTANTIATE_TEST_SUITE_P(Methods, NoteGuard,
                         ::testing::Values(GuardRow{"RequestBillID",
                                                    [](CommandSet& s, std::uint8_t n, QString& t) {
                                                      return s.RequestBillID(kDevice, n, t);
                                                    }},
                                           GuardRow{"ModifyBillScty",
                                                    [](CommandSet& s, std::uint8_t n, QString& t) {
                                                      return s.ModifyBillScty(kDevice, n, 3, t);
                                                    }},
                                           GuardRow{"RequestBillScty",
                                                    [](CommandSet& s, std::uint8_t n, QString& t) {
                                                      std::array<std::uint8_t, 1> level{};
                                                      const std::int16_t r =
                                                          s.RequestBillScty(kDevice, n, level);
                                                      if (r == kResultNoteNumber) return r;
                                                      t = QString::number(level[0]);
                                                      return r;
                                                    }},
                                           GuardRow{"RequestCoinID",
                                                    [](CommandSet& s, std::uint8_t n, QString& t) {
                                                      return s.RequestCoinID(kDevice, n, t);
                                                    }}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Validator, IndividualNoteCounterHasNoGuardAndReturnsAVariant) {
  answerData({0x10, 0x27, 0x00});
  std::int32_t count = -1;
  const QVariant result = set_.GetIndNoteCounter(kDevice, 200, count);
  EXPECT_EQ(result.typeId(), QMetaType::Int);
  EXPECT_EQ(result.toInt(), kResultOk);
  EXPECT_EQ(count, 10000);
  EXPECT_EQ(sentData(), (std::vector<std::uint8_t>{200}));
}

TEST_F(Validator, CountersAreLeastSignificantFirstAndZeroOnNak) {
  answerData({0x10, 0x27, 0x00});
  std::int32_t count = -1;
  EXPECT_EQ(set_.GetAcceptCntr(kDevice, count), kResultOk);
  EXPECT_EQ(count, 10000);
  answer(replyFrame(kHeaderNak));
  EXPECT_EQ(set_.GetAcceptCntr(kDevice, count), kResultChecksum);
  EXPECT_EQ(count, 0);
  // Two of three bytes: a counter of 13 must not read as 13 (or 0) with result 0.
  answerData({13, 0});
  EXPECT_EQ(set_.GetAcceptCntr(kDevice, count), kResultChecksum);
  EXPECT_EQ(set_.caption(), QStringLiteral("Reply Length Error [2 <> 3]"));
  EXPECT_EQ(count, 0);
  answerData({0xFF, 0xFF, 0xFF});
  EXPECT_EQ(set_.GetInsertnCntr(kDevice, count), kResultOk);
  EXPECT_EQ(count, 16777215);
  answer(replyFrame(kHeaderBusy));
  EXPECT_EQ(set_.GetErrorCounter(kDevice, 4, count), kResultBusy);
  EXPECT_EQ(count, 0);
}

TEST_F(Validator, MotorFlagsGoOutByIndex) {
  answerAck();
  const std::array<std::uint8_t, 4> flags = {1, 1, 0, 9};
  QString text;
  EXPECT_EQ(set_.OperateMotors(kDevice, flags, text), kResultOk);
  EXPECT_EQ(sentHeader(), 146);
  EXPECT_EQ(sentData(), (std::vector<std::uint8_t>{1, 1, 0}));
}

TEST_F(Validator, ShortArraysAndCountryTextsRaiseBeforeSending) {
  answerAck();
  QString text;
  std::array<std::uint8_t, 3> out{};
  const std::array<std::uint8_t, 2> two = {1, 1};
  const std::array<std::uint8_t, 1> one = {0xFF};
  const auto expectError = [&](int number, const std::function<void()>& call) {
    try {
      call();
      ADD_FAILURE() << "no error raised";
    } catch (const QuennetError& error) {
      EXPECT_EQ(error.number(), number);
    }
    EXPECT_TRUE(nothingSent());
  };
  const auto expectSubscriptError = [&](const std::function<void()>& call) {
    expectError(kErrSubscriptOutOfRange, call);
  };
  expectSubscriptError([&] { set_.SetInhibitStatus(kDevice, one, text); });
  expectSubscriptError([&] { set_.OperateMotors(kDevice, two, text); });
  expectSubscriptError([&] { set_.RequestScaleFactor(kDevice, QStringLiteral("G"), out); });
  expectSubscriptError([&] { set_.RequestBillPosition(kDevice, QString(), out); });
  // Letters without a byte of their own would go out as 0 or as another code.
  for (const QString& country : {QStringLiteral("G\u00DC"), QStringLiteral("\u20ACU"),
                                 QStringLiteral("G\n"), QStringLiteral("E\u007F")}) {
    expectError(kErrInvalidProcedureCall, [&] { set_.RequestScaleFactor(kDevice, country, out); });
    expectError(kErrInvalidProcedureCall, [&] { set_.RequestBillPosition(kDevice, country, out); });
  }
}

TEST_F(Validator, CountryLettersGoOutAsCharacterCodes) {
  answerData({1, 2, 3});
  std::array<std::uint8_t, 3> scale{};
  EXPECT_EQ(set_.RequestScaleFactor(kDevice, QStringLiteral("GB"), scale), kResultOk);
  EXPECT_EQ(sentHeader(), 156);
  EXPECT_EQ(sentData(), (std::vector<std::uint8_t>{71, 66}));
  EXPECT_EQ(scale, (std::array<std::uint8_t, 3>{1, 2, 3}));

  line_->clearLog();
  answerData({0xFF, 0x03});
  std::array<std::uint8_t, 2> positions{};
  EXPECT_EQ(set_.RequestBillPosition(kDevice, QStringLiteral("EUR"), positions), kResultOk);
  EXPECT_EQ(sentHeader(), 155);
  EXPECT_EQ(sentData(), (std::vector<std::uint8_t>{'E', 'U'}));
}

TEST_F(Validator, InhibitMaskSendsTheFirstTwoBytes) {
  answerAck();
  const std::array<std::uint8_t, 3> mask = {0x0F, 0x80, 0x55};
  QString text;
  EXPECT_EQ(set_.SetInhibitStatus(kDevice, mask, text), kResultOk);
  EXPECT_EQ(text, QStringLiteral("ACK"));
  EXPECT_EQ(sentData(), (std::vector<std::uint8_t>{0x0F, 0x80}));
}

TEST_F(Validator, ChangeKeyNeedsThreeBytes) {
  answerAck();
  const std::array<std::uint8_t, 2> shortKey = {0x85, 0x62};
  QString text = QStringLiteral("old");
  EXPECT_EQ(set_.ChangeKey(kDevice, shortKey, text), kResultKeyTooShort);
  EXPECT_EQ(text, QStringLiteral("NACK"));
  EXPECT_TRUE(nothingSent());

  const std::array<std::uint8_t, 3> key = {0x85, 0x62, 0x40};
  EXPECT_EQ(set_.ChangeKey(kDevice, key, text), kResultOk);
  EXPECT_EQ(sentHeader(), 137);
  EXPECT_EQ(sentData(), (std::vector<std::uint8_t>{0x85, 0x62, 0x40}));
}

TEST_F(Validator, ModifyBillIdNeverTouchesTheLine) {
  answerAck();
  EXPECT_EQ(set_.ModifyBillID(), kResultOk);
  set_.line()->close();
  EXPECT_EQ(set_.ModifyBillID(), kResultOk);
  EXPECT_TRUE(nothingSent());
}

TEST_F(Validator, MasterInhibitStatusIsTheFirstByteOrZero) {
  answerData({1});
  std::uint8_t status = 7;
  EXPECT_EQ(set_.GetMasterInhibit(kDevice, status), kResultOk);
  EXPECT_EQ(status, 1);
  answer(replyFrame(kHeaderBusy));
  EXPECT_EQ(set_.GetMasterInhibit(kDevice, status), kResultBusy);
  EXPECT_EQ(status, 0);
}

// The one slow test: the stacker cycle waits 8 s for its own reply, and only for that one.
TEST_F(Validator, StackerCycleWaitsLongOnlyForItsOwnReply) {
  answer({});
  QString text;
  QElapsedTimer clock;
  clock.start();
  EXPECT_EQ(set_.CycleStacker(kDevice, text), kResultTimeout);
  EXPECT_NEAR(static_cast<double>(clock.elapsed()), 8000.0, 300.0);
  EXPECT_EQ(sentHeader(), 147);

  // Each next command waits for its own reply (after the line has been quiet as long as the
  // last one waited).
  std::array<std::uint8_t, 11> events{};
  EXPECT_EQ(set_.GetEventBuffer(kDevice, events), kResultTimeout);
  EXPECT_NEAR(static_cast<double>(set_.lastMessageTime()), 500.0, 150.0);
  EXPECT_EQ(set_.SaveKey(kDevice, text), kResultTimeout);
  EXPECT_NEAR(static_cast<double>(set_.lastMessageTime()), 200.0, 100.0);
}

}  // namespace
}  // namespace quennet::testing
