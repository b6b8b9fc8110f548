#include <algorithm>
#include <map>
#include <memory>
#include <random>

#include <QElapsedTimer>

#include <gtest/gtest.h>

#include "quennet/commands/command_set.h"
#include "quennet/link/protocol.h"
#include "quennet/link/protocol_events.h"
#include "quennet/link/quennet_error.h"
#include "quennet/testing/scripted_line.h"
#include "support/reply_frames.h"

using namespace quennet;
using testframes::completeFrameLength;
using testframes::reply;

namespace {

// A CommandSet on a scripted line whose device answers every complete frame with `answer`.
class ScriptedHost : public ::testing::Test {
 protected:
  void SetUp() override {
    auto line = std::make_unique<ScriptedLine>();
    line_ = line.get();
    host_.setLine(std::move(line));
    host_.setCaptionSink([this](const QString& c) { captions_.push_back(c); });
    ASSERT_TRUE(line_->open());
  }

  // The device echoes (when `echo`) and then sends `answer` once a whole frame is in.
  void answerWith(const QByteArray& answer, bool echo = false) {
    line_->setResponder(nullptr);
    line_->setResponder([answer, echo](const QByteArray& written) {
      if (completeFrameLength(written) == 0) return QByteArray();
      return (echo ? written : QByteArray()) + answer;
    });
  }

  void fillPoll(std::uint8_t header = 254) { host_.LoadFrame(40, header); }

  CommandSet host_;
  ScriptedLine* line_ = nullptr;
  std::vector<QString> captions_;
};

}  // namespace

// A caller shows a failure or an error number by its text alone: each has one, and no two read
// alike, across both lists.
TEST(Errors, EveryFailureAndErrorNumberHasATextOfItsOwn) {
  std::map<QString, QString> seen;  // text -> whose
  const auto own = [&](const QString& text, const QString& whose) {
    EXPECT_FALSE(text.trimmed().isEmpty()) << whose.toStdString();
    const auto [at, added] = seen.emplace(text, whose);
    EXPECT_TRUE(added) << whose.toStdString() << " reads as " << at->second.toStdString() << ": "
                       << text.toStdString();
  };
  int count = 0;
  for (const Failure failure : failures()) {
    own(failureText(failure), QStringLiteral("failure %1").arg(static_cast<int>(failure)));
    ++count;
  }
  EXPECT_EQ(count, static_cast<int>(Failure::WrongLength) + 1) << "a failure left out of the list";
  for (const ErrorNumber number : errorNumbers()) {
    own(errorCaption(number), QStringLiteral("error %1").arg(number));
  }
}

TEST_F(ScriptedHost, PollAckNackBusyAndUnknownHeader) {
  struct Row {
    std::uint8_t header;
    std::int16_t result;
    const char* response;
    const char* caption;
  };
  const Row rows[] = {{0, 0, "ACK", "OK"},
                      {5, 0, "NACK", "OK"},
                      {6, -1, "unchanged", "BUSY"},
                      {9, 0, "???", "???"}};
  for (const Row& row : rows) {
    answerWith(reply(row.header, {}, false));
    captions_.clear();
    QString response = QStringLiteral("unchanged");
    EXPECT_EQ(host_.SendPoll(40, response), row.result) << int(row.header);
    EXPECT_EQ(response, QString::fromLatin1(row.response));
    ASSERT_EQ(captions_.size(), 2u);
    EXPECT_EQ(captions_.front(), QStringLiteral("Xmit Command <254>"));
    EXPECT_EQ(captions_.back(), QString::fromLatin1(row.caption));
    EXPECT_TRUE(host_.lastTransaction().frameSent);
    EXPECT_EQ(host_.lastTransaction().refusal, Failure::None);
    // A whole reply is read to the end of its frame; the reply's header is there to ask for.
    EXPECT_EQ(host_.lastTransaction().phase, ReplyPhase::Body);
    EXPECT_EQ(host_.replyHeader(), row.header);
  }
}

TEST_F(ScriptedHost, ClosedPortSendsNothingAndChangesNothing) {
  answerWith(reply(0, {}, false));
  QString response = QStringLiteral("keep");
  ASSERT_EQ(host_.SendPoll(40, response), 0);
  const QString replyBefore = host_.ReplyBack();
  const QString captionBefore = host_.caption();
  line_->close();
  line_->clearLog();
  response = QStringLiteral("keep");
  EXPECT_EQ(host_.SendPoll(40, response), kResultNotEnabled);
  EXPECT_EQ(response, QStringLiteral("keep"));
  EXPECT_EQ(host_.ReplyBack(), replyBefore);
  EXPECT_EQ(host_.caption(), captionBefore);
  EXPECT_TRUE(line_->writtenLog().isEmpty());
  EXPECT_FALSE(host_.lastTransaction().ran);
  EXPECT_FALSE(host_.lastTransaction().frameSent);
}

TEST_F(ScriptedHost, TimeoutCaptionsCountReplyBytes) {
  QString response = QStringLiteral("keep");
  // Silent line without echo: nothing of the reply arrived.
  EXPECT_EQ(host_.SendPoll(40, response), kResultTimeout);
  EXPECT_EQ(host_.caption(), QStringLiteral("Timeout Error [0]"));
  EXPECT_EQ(host_.lastTransaction().phase, ReplyPhase::Header);
  EXPECT_EQ(response, QStringLiteral("keep"));
  // Echo expected but the line is silent: the count is minus the five echo bytes.
  host_.setCommsEcho(true);
  EXPECT_EQ(host_.SendPoll(40, response), kResultTimeout);
  EXPECT_EQ(host_.caption(), QStringLiteral("Timeout Error [-5]"));
  EXPECT_EQ(host_.lastTransaction().phase, ReplyPhase::Echo);
  // The echo whole, the reply silent: the reading waited for the reply's head.
  line_->setResponder([](const QByteArray& written) {
    return completeFrameLength(written) == 0 ? QByteArray() : written;
  });
  EXPECT_EQ(host_.SendPoll(40, response), kResultTimeout);
  EXPECT_EQ(host_.caption(), QStringLiteral("Timeout Error [0]"));
  EXPECT_EQ(host_.lastTransaction().phase, ReplyPhase::Header);
  // A length byte promising three data bytes with only one arriving: dest, length and one.
  host_.setCommsEcho(false);
  const QByteArray partial = reply(0, {1, 2, 3}, false).left(5);
  answerWith(partial);
  EXPECT_EQ(host_.SendPoll(40, response), kResultTimeout);
  EXPECT_EQ(host_.caption(), QStringLiteral("Timeout Error [5]"));
  // Cut off by a silence longer than the gap, the frame was given up, and the reading looked for
  // a reply behind it until the time-out.
  EXPECT_EQ(host_.lastTransaction().phase, ReplyPhase::Resync);
  // The trace shows the five bytes that came, not zeros for the three that did not.
  EXPECT_EQ(host_.ReplyBack(), QString::fromLatin1(partial.toHex(' ').toUpper() + ' '));

  // A reply that comes just after the time-out is drained before the call returns: a program
  // that ends now leaves nothing on the line for the next one.
  line_->setResponder([this](const QByteArray& written) {
    if (completeFrameLength(written) != 0) line_->deliverLater(230, reply(0, {}, false));
    return QByteArray();
  });
  const int ignoredBefore = host_.statistics().ignoredBytes;
  EXPECT_EQ(host_.SendPoll(40, response), kResultTimeout);
  EXPECT_EQ(host_.caption(), QStringLiteral("Timeout Error [0]"));
  EXPECT_EQ(line_->bytesAvailable(), 0);
  EXPECT_EQ(host_.statistics().ignoredBytes - ignoredBefore, 5);
}

TEST_F(ScriptedHost, EchoIsComparedWithTheFrameWritten) {
  host_.setCommsEcho(true);
  host_.setChecksumType(CHKSM_16BIT);
  line_->setResponder([](const QByteArray& written) {
    if (completeFrameLength(written) == 0) return QByteArray();
    // One byte of the echo changed: the device may have heard another frame than the one sent.
    QByteArray echo = written;
    echo[3] = static_cast<char>(echo[3] ^ 0x10);
    return echo + reply(0, {}, true);
  });
  QString response = QStringLiteral("keep");
  EXPECT_EQ(host_.SendPoll(40, response), kResultChecksum);
  EXPECT_EQ(host_.caption(), QStringLiteral("Echo Error [4]"));
  EXPECT_EQ(host_.lastTransaction().refusal, Failure::EchoMismatch);
  EXPECT_EQ(host_.statistics().echoMismatches, 1);
  EXPECT_EQ(response, QStringLiteral("keep"));
  // The same frame echoed as written: the reply after it counts.
  answerWith(reply(0, {}, true), true);
  EXPECT_EQ(host_.SendPoll(40, response), 0);
  EXPECT_EQ(response, QStringLiteral("ACK"));
  EXPECT_EQ(host_.EchoLength(), 5);
  EXPECT_EQ(host_.ReplyLength(), 5);

  // One poll tells whether the line echoes: the frame back first, a reply first, or silence.
  EXPECT_TRUE(host_.detectEcho(40));
  EXPECT_TRUE(host_.commsEcho());
  answerWith(reply(0, {}, true));
  EXPECT_FALSE(host_.detectEcho(40));
  EXPECT_FALSE(host_.commsEcho());
  EXPECT_EQ(line_->writtenLog().right(5).at(3), char(254)) << "a simple poll";
  host_.setCommsEcho(true);
  answerWith(QByteArray());
  EXPECT_FALSE(host_.detectEcho(40));
  answerWith(QByteArray(), true);
  EXPECT_TRUE(host_.detectEcho(40)) << "an echo and no device is still an echoing line";
}

// A device on a hostile line: what the engine makes of replies that are not simply right.
TEST_F(ScriptedHost, HostileRepliesAreNamedForWhatTheyAre) {
  struct Row {
    const char* what;
    QByteArray answer;
    std::int16_t result;
    const char* caption;
    Failure fault;
    int ignored;
    // The device's reply comes this much after `answer`, which then is only what the line
    // carried before it; with `echoed`, the frame written comes back first.
    int lateMs = 0;
    QByteArray late = {};
    bool echoed = false;
    // The host is told the line echoes; a reply that comes without the echo is named for that.
    bool toldEcho = false;
    // The command: a read of the input lines (one byte or more) by default; 231 (modify
    // inhibits) asks for no data.
    std::uint8_t header = 237;
    // What the line gives back instead of the frame written (a changed echo), before `answer`.
    QByteArray (*echoAs)(const QByteArray& written) = nullptr;
    // Bytes that arrive while the frame is leaving, before the device has read it.
    QByteArray whileSending = {};
  };
  QByteArray fromAnother = reply(0, {7}, false);
  fromAnother[2] = 99;                                      // the source byte
  fromAnother[5] = static_cast<char>(fromAnother[5] - 59);  // the checksum still adds up
  const QByteArray good = reply(0, {7}, false);
  const QByteArray noise = QByteArray::fromHex("aa5513");
  const QByteArray three = reply(0, {7, 8, 9}, false);
  // A reply to an earlier command, repeated: it must never answer this one.
  const QByteArray repeated = reply(0, {9}, false);
  const Row rows[] = {
      {"a reply from device 99", fromAnother, kResultChecksum, "Reply Source Error [99]",
       Failure::WrongSource, 0},
      {"garbage, then the reply", noise + good, kResultOk, "OK", Failure::None, 3},
      {"garbage only", noise, kResultChecksum, "Garbled Reply [3]", Failure::Garbled, 3},
      {"a false length, then the reply", QByteArray::fromHex("0140") + good, kResultOk, "OK",
       Failure::None, 2},
      // Devices take 10 to 50 ms to answer, some commands longer: a glitch on the line before
      // the reply does not cut that time short.
      {"garbage, the reply later", noise, kResultOk, "OK", Failure::None, 3, 120, good},
      // A line that echoes although the host was told it does not: the device answers once it
      // has read the frame.
      {"an unexpected echo, the reply later",
       {},
       kResultOk,
       "OK",
       Failure::None,
       5,
       120,
       good,
       true},
      {"an unexpected echo, no reply",
       {},
       kResultTimeout,
       "Timeout Error [0]",
       Failure::None,
       5,
       0,
       {},
       true},
      // Every receiver drops a frame whose bytes stop for more than 50 ms; so does the host.
      {"a reply paused 25 ms inside", good.left(3), kResultOk, "OK", Failure::None, 0, 25,
       good.mid(3)},
      {"a reply cut by a 70 ms gap", good.left(3), kResultChecksum, "Garbled Reply [6]",
       Failure::Garbled, 6, 70, good.mid(3)},
      {"a reply cut by a 70 ms gap, then the reply", good.left(3), kResultOk, "OK", Failure::None,
       3, 70, good},
      // Data where the reply carries none is the answer to another command (a late one).
      {"data to a command without data",
       good,
       kResultChecksum,
       "Unexpected Data [1]",
       Failure::Unexpected,
       0,
       0,
       {},
       false,
       false,
       231},
      // Separate receive and transmit wires although the host was told the line echoes: a reply
      // shorter than the echo would be (once a time-out), and one longer (once an echo error).
      {"no echo, a short reply",
       good,
       kResultOk,
       "OK (no echo on this line)",
       Failure::None,
       0,
       0,
       {},
       false,
       true},
      {"no echo, a long reply",
       three,
       kResultOk,
       "OK (no echo on this line)",
       Failure::None,
       0,
       0,
       {},
       false,
       true},
      // Told the line echoes, a byte with the host's address first: only a whole reply from the
      // device asked is a reply without the echo; anything else is what the line made of it.
      {"no echo, the host's address in garbage",
       QByteArray::fromHex("01aa55"),
       kResultChecksum,
       "Echo Error [1]",
       Failure::EchoMismatch,
       0,
       0,
       {},
       false,
       true},
      {"noise 0x01 before a changed echo",
       good,
       kResultChecksum,
       "Echo Error [1]",
       Failure::EchoMismatch,
       0,
       0,
       {},
       false,
       true,
       237,
       [](const QByteArray& written) {
         QByteArray echo = written;
         echo[3] = static_cast<char>(echo[3] ^ 0x10);
         return QByteArray(1, '\x01') + echo;
       }},
      {"an echo whose first byte reads 0x01",
       good,
       kResultChecksum,
       "Echo Error [1]",
       Failure::EchoMismatch,
       0,
       0,
       {},
       false,
       true,
       237,
       [](const QByteArray& written) {
         QByteArray echo = written;
         echo[0] = '\x01';
         return echo;
       }},
      // A device repeating an earlier reply while this frame leaves: without an echo the bytes
      // came before the frame was out and are dropped; with one, they break the echo.
      {"a repeated reply while the frame leaves",
       good,
       kResultOk,
       "OK",
       Failure::None,
       6,
       0,
       {},
       false,
       false,
       237,
       nullptr,
       repeated},
      {"a repeated reply while the frame leaves, on an echo line",
       good,
       kResultChecksum,
       "Echo Error [1]",
       Failure::EchoMismatch,
       0,
       0,
       {},
       false,
       true,
       237,
       [](const QByteArray& written) { return written; },
       repeated},
      // BUSY and then, late, the real answer: the next command must not take it.
      {"BUSY, then the answer", reply(6, {}, false), kResultBusy, "BUSY", Failure::None, 0, 20,
       reply(0, {}, false)},
  };
  // A reply's time-out is not under test here: a script that has played out ends the wait.
  line_->setEndsWaitsWhenPlayedOut(true);
  for (const Row& row : rows) {
    fillPoll(row.header);
    line_->setResponder([this, row](const QByteArray& written) {
      if (completeFrameLength(written) == 0) return QByteArray();
      if (row.lateMs > 0) line_->deliverLater(row.lateMs, row.late);
      const QByteArray echo = row.echoAs   ? row.echoAs(written)
                              : row.echoed ? written
                                           : QByteArray();
      return echo + row.answer;
    });
    line_->deliverWhileSending(row.whileSending);
    host_.setCommsEcho(row.toldEcho);
    const int ignoredBefore = host_.statistics().ignoredBytes;
    const int missingBefore = host_.statistics().missingEchoes;
    std::array<std::uint8_t, 3> data{};
    EXPECT_EQ(host_.TransactBytes(data, row.header == 237 ? 1 : 0), row.result) << row.what;
    EXPECT_EQ(host_.lastTransaction().echoHeard, row.echoed) << row.what;
    EXPECT_EQ(host_.statistics().missingEchoes - missingBefore,
              row.toldEcho && row.result == kResultOk ? 1 : 0)
        << row.what;
    EXPECT_TRUE(host_.commsEcho() == row.toldEcho) << "the setting is the caller's";
    EXPECT_EQ(host_.caption(), QString::fromLatin1(row.caption)) << row.what;
    EXPECT_EQ(host_.lastTransaction().refusal, row.fault) << row.what;
    // Bytes that formed no reply end the reading in its search for one.
    if (row.fault == Failure::Garbled) {
      EXPECT_EQ(host_.lastTransaction().phase, ReplyPhase::Resync) << row.what;
    }
    EXPECT_EQ(host_.statistics().ignoredBytes - ignoredBefore, row.ignored) << row.what;
    if (row.result == kResultOk) {
      EXPECT_EQ(data[0], 7) << row.what;
      // A reply that came is taken as soon as it is in, except behind a false length byte.
      if (row.ignored != 2) {
        EXPECT_LT(host_.lastMessageTime(), 400) << row.what;
      }
    }
    // Whatever the line did, the next command gets its own answer (a NAK, 40 ms after it).
    line_->setResponder([this](const QByteArray& written) {
      if (completeFrameLength(written) != 0) line_->deliverLater(40, reply(5, {}, false));
      return QByteArray();
    });
    host_.setCommsEcho(false);
    QString next;
    EXPECT_EQ(host_.SendPoll(40, next), kResultOk) << row.what << ", the next command";
    EXPECT_EQ(next, QStringLiteral("NACK")) << row.what << ", the next command";
  }
}

// A device answers each command once, after a random delay (some after the time-out); some
// answer BUSY first and their real answer 15-30 ms later, some behind noise, some with a reply
// of the wrong length, and some repeat their answer while the next frame leaves; there is noise
// on the line between commands. On a line that echoes, some echoes come back changed (noise 0x01
// before a changed echo, an echo whose first byte reads 0x01, a byte changed inside). On a line
// set to guard against repeats, some answers come twice a few milliseconds apart. Every answer
// taken (result 0) is the one the device gave to that command, and no changed echo or reply of
// the wrong length is ever taken. The first four commands are a batch whose answers once all
// shifted by one behind a late reply.
TEST_F(ScriptedHost, EveryAnswerTakenIsTheOneGivenToThatCommand) {
  host_.setChecksumType(CHKSM_16BIT);
  enum Kind { Poll, Route, Inhibit, Events, BillId };
  enum Echo { AsWritten, NoiseBefore, FirstByteHost, ByteChanged };
  struct Step {
    Kind kind;
    QByteArray answer;
    int delayMs;
    int repeatMs = 0;  // the answer again this much later; 0: once
    QByteArray noise = {};
    int strayMs = 0;                     // noise alone, this long after the frame
    bool busyFirst = false;              // BUSY at the delay, the answer 15-30 ms after it
    bool repeatWhileNextLeaves = false;  // the answer again while the next frame goes out
    Echo echo = AsWritten;
    bool wrongLength = false;  // not as long as every reply to the command is
  };
  struct Run {
    unsigned seed;
    bool echo;
    int repeatGuardMs;
  };
  const QByteArray ack = reply(0, {}, true);
  const QByteArray nak = reply(5, {}, true);
  const QByteArray busy = reply(6, {}, true);
  for (const Run run : {Run{1, false, 0}, Run{2, true, 0}, Run{3, false, 10}}) {
    SCOPED_TRACE(run.seed);
    host_.setCommsEcho(run.echo);
    host_.setRepeatGuardMs(run.repeatGuardMs);
    // Waits run in real time while the device has anything still to send; once it has played
    // out, they end at once.
    line_->setEndsWaitsWhenPlayedOut(true);
    std::mt19937 random(run.seed);
    const auto below = [&random](int n) {
      return std::uniform_int_distribution<int>(0, n - 1)(random);
    };
    std::vector<Step> steps = {
        {Poll, ack, 256}, {Route, reply(0, {255}, true), 20}, {Inhibit, nak, 20}, {Poll, ack, 20}};
    for (int i = 0; i < 30; ++i) {
      Step step{static_cast<Kind>(below(5)), {}, 0};
      if (step.kind == Events || step.kind == BillId) {
        const int length = step.kind == Events ? 11 : 7;
        int size = length;
        if (below(5) == 0) {
          step.wrongLength = true;
          size = std::array<int, 3>{0, length - 1, length + 1}[below(3)];
        }
        std::vector<std::uint8_t> data(static_cast<std::size_t>(size));
        for (auto& b : data) {
          b = static_cast<std::uint8_t>(step.kind == Events ? below(256) : 'A' + below(26));
        }
        step.answer = reply(0, data, true);
      } else if (step.kind == Route && below(2) == 0) {
        step.answer = reply(0, {static_cast<std::uint8_t>(254 + below(2))}, true);
      } else {
        step.answer = below(3) == 0 ? nak : ack;
      }
      const int timeout = step.kind == Events || step.kind == BillId ? 500 : 200;
      const int roll = below(10);
      step.delayMs = roll < 2 ? timeout + 5 + below(150) : 2 + below(roll < 3 ? 180 : 60);
      if (below(4) == 0) {
        if (run.repeatGuardMs > 0) {
          step.repeatMs = 1 + below(8);
        } else {
          step.repeatWhileNextLeaves = true;
        }
      }
      if (below(5) == 0) step.noise = QByteArray::fromHex("55aa13").left(1 + below(3));
      if (below(6) == 0) step.strayMs = below(300);
      step.busyFirst = below(6) == 0;
      if (run.echo && below(5) == 0) step.echo = static_cast<Echo>(1 + below(3));
      steps.push_back(step);
    }

    std::size_t asked = 0;
    line_->setResponder([&](const QByteArray& written) {
      if (completeFrameLength(written) == 0 || asked >= steps.size()) return QByteArray();
      const Step& step = steps[asked++];
      line_->deliverLater(step.delayMs, step.noise + (step.busyFirst ? busy : step.answer));
      if (step.busyFirst) line_->deliverLater(step.delayMs + 15 + below(16), step.answer);
      if (step.repeatMs > 0) line_->deliverLater(step.delayMs + step.repeatMs, step.answer);
      if (step.repeatWhileNextLeaves) line_->deliverWhileSending(step.answer);
      if (step.strayMs > 0) line_->deliverLater(step.strayMs, QByteArray::fromHex("aa55"));
      if (!run.echo) return QByteArray();
      QByteArray echo = written;
      switch (step.echo) {
        case AsWritten:
          break;
        case NoiseBefore:
          echo[3] = static_cast<char>(echo[3] ^ 0x10);
          echo.prepend('\x01');
          break;
        case FirstByteHost:
          echo[0] = '\x01';
          break;
        case ByteChanged:
          echo[2] = static_cast<char>(echo[2] ^ 0x40);
          break;
      }
      return echo;
    });
    std::vector<std::int16_t> results;
    for (std::size_t i = 0; i < steps.size(); ++i) {
      const Step& step = steps[i];
      QString text;
      std::array<std::uint8_t, 11> events{};
      std::int16_t result = 0;
      switch (step.kind) {
        case Poll:
          result = host_.SendPoll(40, text);
          break;
        case Route:
          result = host_.RouteBill(40, 1, text);
          break;
        case Inhibit:
          result = host_.SetMasterInhibit(40, 1, text);
          break;
        case Events:
          result = host_.GetEventBuffer(40, events);
          break;
        case BillId:
          result = host_.RequestBillID(40, 3, text);
          break;
      }
      results.push_back(result);
      ASSERT_EQ(asked, i + 1) << "one frame per command";
      if (step.echo != AsWritten || step.wrongLength) {
        EXPECT_NE(result, kResultOk) << i << ": a changed echo or a reply of the wrong length";
      }
      if (result != kResultOk) continue;
      // What the device said to this command, as the caller sees it.
      const auto header = static_cast<std::uint8_t>(step.answer[3]);
      const QByteArray data = step.answer.mid(4, step.answer.size() - 5);
      if (step.kind == Events) {
        EXPECT_EQ(QByteArray(reinterpret_cast<const char*>(events.data()), 11), data) << i;
      } else if (step.kind == BillId) {
        EXPECT_EQ(text, QString::fromLatin1(data)) << i;
      } else if (data.isEmpty()) {
        EXPECT_EQ(text, QString::fromLatin1(header == 0 ? "ACK" : "NACK")) << i;
      } else {
        EXPECT_EQ(text, QString::fromLatin1(static_cast<std::uint8_t>(data[0]) == kRouteEscrowEmpty
                                                ? kRouteNoNoteText
                                                : kRouteRefusedText))
            << i;
      }
      EXPECT_EQ(host_.acknowledged(),
                header == 0 && (data.isEmpty() || step.kind == Events || step.kind == BillId))
          << i;
    }
    EXPECT_EQ(std::vector<std::int16_t>(results.begin(), results.begin() + 4),
              (std::vector<std::int16_t>{kResultTimeout, 0, 0, 0}));
    EXPECT_GE(std::count(results.begin(), results.end(), kResultOk), 12);
    // What is still on its way belongs to no command of the next run.
    line_->setResponder(nullptr);
    QString rest;
    host_.SendPoll(40, rest);
  }
}

TEST_F(ScriptedHost, TextRenderingShiftsSmallBytesInTheBuffer) {
  answerWith(reply(0, {1, 4, 2}, false));
  QString response;
  EXPECT_EQ(host_.GetProductCode(40, response), 0);
  EXPECT_EQ(response, QStringLiteral("142"));
  EXPECT_EQ(host_.ReplyBack(1).split(QLatin1Char(',')).mid(4, 3),
            (QStringList{QStringLiteral("49"), QStringLiteral("52"), QStringLiteral("50")}));
}

TEST_F(ScriptedHost, ChecksumErrorIsResultThree) {
  host_.setChecksumType(CHKSM_16BIT);
  QByteArray bad = reply(0, {7}, true);
  bad[2] = static_cast<char>(bad[2] ^ 0x01);
  answerWith(bad);
  QString response = QStringLiteral("keep");
  EXPECT_EQ(host_.SendPoll(40, response), kResultChecksum);
  EXPECT_TRUE(host_.caption().startsWith(QStringLiteral("Checksum Error ")));
  EXPECT_EQ(host_.lastTransaction().refusal, Failure::Checksum);
  EXPECT_EQ(response, QStringLiteral("keep"));
}

TEST_F(ScriptedHost, ReplyNotAddressedToTheHostIsRefused) {
  host_.setChecksumType(CHKSM_16BIT);
  // Five zero bytes are a "frame" to address 0 whose CRC is also zero: a misaligned read of an
  // empty event buffer's data, never a reply.
  answerWith(QByteArray(5, '\0'));
  fillPoll(159);
  std::array<std::uint8_t, 11> buffer{};
  buffer.fill(7);
  EXPECT_EQ(host_.TransactBytes(buffer, 11), kResultChecksum);
  EXPECT_EQ(host_.caption(), QStringLiteral("Reply Address Error [0]"));
  EXPECT_EQ(host_.lastTransaction().refusal, Failure::Address);
  EXPECT_EQ(buffer[0], 7);
}

TEST_F(ScriptedHost, OversizedRepliesNeverOverrunBuffers) {
  // A length byte above 251 cannot be stored: a failure, never 0.
  QByteArray huge = QByteArray::fromHex("01fc28");
  answerWith(huge + QByteArray(300, '\0'));
  QString response = QStringLiteral("keep");
  EXPECT_EQ(host_.SendPoll(40, response), kResultChecksum);
  EXPECT_EQ(host_.caption(), QStringLiteral("Reply Too Long [252]"));
  EXPECT_EQ(host_.lastTransaction().refusal, Failure::TooLong);
  EXPECT_EQ(response, QStringLiteral("keep"));

  // Four data bytes into a three-byte caller array (sensor states, as many as the device has):
  // refused, the array untouched.
  answerWith(reply(0, {1, 2, 3, 4}, false));
  fillPoll(148);
  std::array<std::uint8_t, 3> small{9, 9, 9};
  EXPECT_EQ(host_.TransactBytes(small, 3), kResultChecksum);
  EXPECT_EQ(small, (std::array<std::uint8_t, 3>{9, 9, 9}));
  EXPECT_EQ(host_.lastTransaction().refusal, Failure::Overflow);
}

TEST_F(ScriptedHost, CollectAllGathersLooseBytesInArrivalOrder) {
  // Each device answers in its slot, four milliseconds per unit of its address.
  const auto answerAt = [this](const std::vector<std::uint8_t>& addresses) {
    line_->setResponder([this, addresses](const QByteArray& written) {
      if (completeFrameLength(written) == 0) return QByteArray();
      for (std::uint8_t a : addresses) line_->deliverLater(4 * a + 1, QByteArray(1, char(a)));
      return QByteArray();
    });
  };
  answerAt({2, 3, 40});
  host_.LoadFrame(0, 253);
  std::array<std::uint8_t, 11> addresses{};
  QElapsedTimer clock;
  clock.start();
  EXPECT_EQ(host_.TransactBytes(addresses, -4), 0);
  // The whole 1200 ms collection window runs.
  EXPECT_GE(clock.elapsed(), 1100);
  EXPECT_EQ(host_.ReplyLength(), 3);
  EXPECT_EQ(addresses[0], 2);
  EXPECT_EQ(addresses[1], 3);
  EXPECT_EQ(addresses[2], 40);
  EXPECT_EQ(addresses[3], 0);

  // More answers than the array holds: it is filled to its end, and the overflow is reported.
  answerAt({7, 8, 9, 10, 11, 12});
  std::array<std::uint8_t, 4> few{};
  EXPECT_EQ(host_.TransactBytes(few, -4), kResultChecksum);
  EXPECT_EQ(host_.caption(), QStringLiteral("Reply Overflow [6]"));
  EXPECT_EQ(few, (std::array<std::uint8_t, 4>{7, 8, 9, 10}));
  EXPECT_EQ(host_.lastTransaction().refusal, Failure::Overflow);

  // Nobody answers: a time-out.
  answerWith(QByteArray());
  EXPECT_EQ(host_.TransactBytes(addresses, -4), kResultTimeout);
}

TEST_F(ScriptedHost, TimeoutSelectionAndOneShotLongWait) {
  QString response;
  QElapsedTimer clock;
  host_.requestLongWait();
  fillPoll(147);
  clock.start();
  EXPECT_EQ(host_.TransactText(response, 0), kResultTimeout);
  EXPECT_GE(clock.elapsed(), 7900);
  // The long wait served its one transaction; the next text command waits 200 ms again (once
  // the line has been quiet as long as the stacker's reply was waited for).
  clock.restart();
  EXPECT_EQ(host_.SendPoll(40, response), kResultTimeout);
  EXPECT_GE(clock.elapsed(), 7900 + 190);
  EXPECT_LT(host_.lastMessageTime(), 1000);
  EXPECT_GE(host_.lastMessageTime(), 190);
  // Byte commands: 500 ms when data is expected.
  fillPoll(242);
  std::array<std::uint8_t, 3> serial{};
  clock.restart();
  EXPECT_EQ(host_.TransactBytes(serial, 3), kResultTimeout);
  EXPECT_GE(clock.elapsed(), 490);
  EXPECT_LT(clock.elapsed(), 1500);
  EXPECT_GE(host_.lastMessageTime(), 490);
}

TEST_F(ScriptedHost, SlowTransmitSendsByteByByte) {
  host_.setMakeTimeoutError(true);
  answerWith(reply(0, {}, false));
  QString response;
  EXPECT_EQ(host_.SendPoll(40, response), 0);
  EXPECT_EQ(line_->writeCalls(), 5);
  EXPECT_EQ(line_->writtenLog(), QByteArray::fromHex("280001fed9"));
}

TEST_F(ScriptedHost, LineFailureEndsTransactionAndClosesPort) {
  LineError seen;
  host_.setLineFailureSink([&seen](const LineError& e) { seen = e; });
  line_->breakOnNextWait();
  QString response = QStringLiteral("keep");
  EXPECT_EQ(host_.SendPoll(40, response), kResultNotEnabled);
  EXPECT_EQ(seen.number, 8010);
  EXPECT_FALSE(host_.portOpen());
  EXPECT_TRUE(host_.caption().startsWith(QStringLiteral("Comms Error: ")));
  EXPECT_EQ(host_.SendPoll(40, response), kResultNotEnabled);
  EXPECT_EQ(response, QStringLiteral("keep"));

  // Cut off after two bytes of a reply: the trace holds those two bytes and nothing invented.
  ASSERT_TRUE(line_->open());
  answerWith(reply(0, {}, false));
  ASSERT_EQ(host_.SendPoll(40, response), kResultOk);
  answerWith(reply(0, {1, 2, 3}, false).left(2));
  line_->breakOnNextWait();
  EXPECT_EQ(host_.SendPoll(40, response), kResultNotEnabled);
  EXPECT_EQ(host_.ReplyBack(), QStringLiteral("01 03 "));
}

TEST_F(ScriptedHost, SecondTransactionDuringAWaitIsRefused) {
  host_.setChecksumType(CHKSM_16BIT);
  bool refused = false;
  int nestedWrites = -1;
  // The responder runs while the first transaction is between write and wait: a handler
  // trying to send there must be turned away without touching the line.
  line_->setResponder([&](const QByteArray& written) {
    if (completeFrameLength(written) == 0) return QByteArray();
    const int before = line_->writeCalls();
    try {
      QString nested;
      host_.SendPoll(40, nested);
    } catch (const QuennetError& e) {
      refused = e.number() == kErrCantPerformOperation;
    }
    nestedWrites = line_->writeCalls() - before;
    return reply(0, {}, true);
  });
  QString response;
  EXPECT_EQ(host_.SendPoll(40, response), 0);
  EXPECT_EQ(response, QStringLiteral("ACK"));
  EXPECT_TRUE(refused);
  EXPECT_EQ(nestedWrites, 0);
}

TEST_F(ScriptedHost, EncryptedExchangeInCrcModeOnly) {
  const KeyDigits key = keyDigitsFromCode(0x406285);
  host_.setKeyDigits(key);
  host_.setEncryption(true);
  host_.setChecksumType(CHKSM_16BIT);
  answerWith(reply(0, {1, 4, 2}, true, &key));
  QString response;
  EXPECT_EQ(host_.GetProductCode(40, response), 0);
  EXPECT_EQ(response, QStringLiteral("142"));
  // The wrong key shows up as a CRC error.
  const KeyDigits other = keyDigitsFromCode(0x111111);
  answerWith(reply(0, {1, 4, 2}, true, &other));
  EXPECT_EQ(host_.SendPoll(40, response), kResultChecksum);
  // 8-bit mode: replies are not unscrambled, so a clear reply passes.
  host_.setChecksumType(CHKSM_8BIT);
  answerWith(reply(0, {}, false));
  EXPECT_EQ(host_.SendPoll(40, response), 0);
  EXPECT_EQ(response, QStringLiteral("ACK"));
}
