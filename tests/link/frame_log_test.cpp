// The frame log: the passive splitter and pairing over a recorded line, and the link engine's
// records of its own transactions.
#include <map>
#include <memory>
#include <random>
#include <vector>

#include <QJsonObject>

#include <gtest/gtest.h>

#include "quennet/commands/command_set.h"
#include "quennet/link/frame_splitter.h"
#include "quennet/link/frame_text.h"
#include "quennet/testing/scripted_line.h"
#include "support/reply_frames.h"

using namespace quennet;

namespace {

// A host frame to `dest` with `header` and `data`, completed for the frame kind.
QByteArray hostFrame(std::uint8_t dest, std::uint8_t header, const std::vector<std::uint8_t>& data,
                     bool crc) {
  FrameBuffer b;
  b.at(1) = dest;
  b.at(2) = static_cast<std::uint8_t>(data.size());
  b.at(3) = 1;
  b.at(4) = header;
  for (std::size_t i = 0; i < data.size(); ++i) b.at(static_cast<int>(i) + 5) = data[i];
  const int last = static_cast<int>(data.size()) + 5;
  if (crc) {
    const auto value = static_cast<std::uint16_t>(Crc16(b));
    b.at(3) = static_cast<std::uint8_t>(value & 0xFF);
    b.at(last) = static_cast<std::uint8_t>(value >> 8);
  } else {
    b.at(last) = Checksum8(b);
  }
  return QByteArray(reinterpret_cast<const char*>(b.first(last).data()), last);
}

struct Chunk {
  std::int64_t timeUs;
  QByteArray bytes;
};

std::vector<FrameRecord> decodeStream(const std::vector<Chunk>& chunks, bool crc, bool byteWise) {
  FrameSplitter splitter(crc);
  FramePairing pairing;
  std::vector<FrameRecord> records;
  for (const Chunk& chunk : chunks) {
    if (byteWise) {
      for (char byte : chunk.bytes)
        splitter.feed(byteSpan(QByteArray(1, byte)), chunk.timeUs, records);
    } else {
      splitter.feed(byteSpan(chunk.bytes), chunk.timeUs, records);
    }
  }
  splitter.finish(records);
  for (FrameRecord& record : records) pairing.label(record);
  return records;
}

class RecordingObserver : public FrameObserver {
 public:
  void frameLogged(const FrameRecord& record) override { records.push_back(record); }
  std::vector<FrameRecord> records;
};

}  // namespace

// Two exchanges, garbage before a host frame, a frame with a bad checksum that gets no reply,
// a frame broken by a 60 ms gap, an exchange that shows the splitter back in step, garbage that
// looks like the start of a long frame glued to an exchange, and a reply broken by a 70 ms gap
// (which the link engine refuses too).
TEST(FrameSplitter, FindsAndLabelsEveryFrameOfARecordedLineAndInventsNone) {
  for (const bool crc : {false, true}) {
    for (const bool byteWise : {false, true}) {
      SCOPED_TRACE(testing::Message() << "crc " << crc << " byte-wise " << byteWise);
      const QByteArray poll = hostFrame(40, 254, {}, crc);
      const QByteArray ack = testframes::reply(0, {}, crc);
      const QByteArray serial = hostFrame(40, 242, {}, crc);
      const QByteArray serialReply = testframes::reply(0, {0x12, 0xD6, 0x87}, crc);
      QByteArray spoiled = hostFrame(40, 231, {0xFF, 0xFF}, crc);
      spoiled[spoiled.size() - 1] = static_cast<char>(spoiled.back() ^ 0x40);
      const QByteArray broken = hostFrame(40, 159, {}, crc);
      const QByteArray lookalike = QByteArray::fromHex("55aa13ff000799");
      const std::vector<Chunk> line = {
          {0, poll},
          {1'500, ack},
          {300'000, QByteArray("\x7F\x13", 2) + serial},
          {302'000, serialReply},
          {600'000, spoiled},
          {900'000, broken.left(3)},
          {960'000, broken.mid(3)},
          {1'200'000, poll + ack},
          {1'500'000, lookalike + poll + ack},
          {1'800'000, poll},
          {1'801'500, ack.left(3)},
          {1'871'500, ack.mid(3)},
      };
      const auto records = decodeStream(line, crc, byteWise);

      struct Expected {
        FrameStatus status;
        FrameDirection direction;
        QByteArray raw;
        const char* name;
        int requestHeader;
      };
      const Expected expected[] = {
          {FrameStatus::Ok, FrameDirection::Host, poll, "Simple poll", -1},
          {FrameStatus::Ok, FrameDirection::Device, ack, "ACK", 254},
          {FrameStatus::Garbage, FrameDirection::Unknown, QByteArray("\x7F\x13", 2), "garbage", -1},
          {FrameStatus::Ok, FrameDirection::Host, serial, "Request serial number", -1},
          {FrameStatus::Ok, FrameDirection::Device, serialReply, "Reply", 242},
          {FrameStatus::BadChecksum, FrameDirection::Host, spoiled, "Modify inhibit status", -1},
          {FrameStatus::Incomplete, FrameDirection::Unknown, broken.left(3), "incomplete frame",
           -1},
          {FrameStatus::Incomplete, FrameDirection::Unknown, broken.mid(3), "incomplete frame", -1},
          {FrameStatus::Ok, FrameDirection::Host, poll, "Simple poll", -1},
          {FrameStatus::Ok, FrameDirection::Device, ack, "ACK", 254},
          {FrameStatus::Garbage, FrameDirection::Unknown, lookalike, "garbage", -1},
          {FrameStatus::Ok, FrameDirection::Host, poll, "Simple poll", -1},
          {FrameStatus::Ok, FrameDirection::Device, ack, "ACK", 254},
          {FrameStatus::Ok, FrameDirection::Host, poll, "Simple poll", -1},
          {FrameStatus::Incomplete, FrameDirection::Unknown, ack.left(3), "incomplete frame", -1},
          {FrameStatus::Incomplete, FrameDirection::Unknown, ack.mid(3), "incomplete frame", -1},
      };
      ASSERT_EQ(records.size(), std::size(expected));
      for (std::size_t i = 0; i < records.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(records[i].status, expected[i].status);
        EXPECT_EQ(records[i].direction, expected[i].direction);
        EXPECT_EQ(records[i].raw, expected[i].raw);
        EXPECT_EQ(frameName(records[i]), QString::fromLatin1(expected[i].name));
        EXPECT_EQ(records[i].requestHeader, expected[i].requestHeader);
      }
      EXPECT_EQ(records[2].timeUs, 300'000);
      EXPECT_EQ(records[4].frame.data, QByteArray("\x12\xD6\x87", 3));
      EXPECT_EQ(records[4].peer, 40);
      EXPECT_EQ(records[4].durationUs, 2'000);

      // The JSON form has exactly the documented keys, a frame's fields and the source.
      const QJsonObject reply = frameJson(records[4], 0.302);
      EXPECT_EQ(reply.keys(),
                (QStringList{"data", "dest", "dir", "header", "name", "ok", "src", "time"}));
      EXPECT_EQ(reply.value("dir").toString(), QStringLiteral("device"));
      EXPECT_EQ(reply.value("dest").toInt(), 1);
      EXPECT_EQ(reply.value("src").toInt(), 40);
      EXPECT_EQ(reply.value("data").toString(), QStringLiteral("12 D6 87"));
      EXPECT_TRUE(reply.value("ok").toBool());
      const QJsonObject garbage = frameJson(records[2], 0.3);
      EXPECT_TRUE(garbage.value("dest").isNull());
      EXPECT_EQ(garbage.value("data").toString(), QStringLiteral("7F 13"));
      EXPECT_FALSE(garbage.value("ok").toBool());
      EXPECT_FALSE(frameJson(records[5], 0.6).value("ok").toBool());
    }
  }
}

// Recorded lines with one bit flipped in three bursts of ten (seeded): every frame reported ok
// is one that went out intact, at its time, and every intact frame is reported ok.
TEST(FrameSplitter, OverFlippedCapturesInventsNoFrameAndLosesNoIntactOne) {
  const std::uint8_t commands[] = {254, 242, 159, 231, 228, 154, 4, 2, 253};
  for (const bool crc : {false, true}) {
    for (const unsigned seed : {1U, 2U, 3U}) {
      SCOPED_TRACE(testing::Message() << "crc " << crc << " seed " << seed);
      std::mt19937 random(seed);
      const auto below = [&random](int n) {
        return std::uniform_int_distribution<int>(0, n - 1)(random);
      };
      std::vector<Chunk> line;
      std::map<std::int64_t, QByteArray> intact;
      for (int exchange = 0; exchange < 400; ++exchange) {
        const std::int64_t t = exchange * 100'000LL;
        std::vector<std::uint8_t> request(static_cast<std::size_t>(below(4)));
        for (auto& b : request) b = static_cast<std::uint8_t>(below(256));
        // Replies carry counters and buffers: mostly zeros, some small numbers.
        std::vector<std::uint8_t> answer(static_cast<std::size_t>(below(17)));
        for (auto& b : answer) b = below(3) == 0 ? static_cast<std::uint8_t>(below(256)) : 0;
        const QByteArray frames[] = {
            hostFrame(static_cast<std::uint8_t>(2 + below(60)), commands[below(9)], request, crc),
            testframes::reply(0, answer, crc)};
        for (int k = 0; k < 2; ++k) {
          QByteArray bytes = frames[k];
          if (below(10) < 3) {
            const int bit = below(static_cast<int>(bytes.size()) * 8);
            bytes[bit / 8] = static_cast<char>(bytes[bit / 8] ^ (1 << (bit % 8)));
          } else {
            intact[t + k * 2'000] = bytes;
          }
          line.push_back({t + k * 2'000, bytes});
        }
      }
      const auto records = decodeStream(line, crc, false);
      int invented = 0;
      std::size_t found = 0;
      for (const FrameRecord& r : records) {
        if (r.status != FrameStatus::Ok) continue;
        const auto it = intact.find(r.timeUs);
        if (it == intact.end() || it->second != r.raw) {
          ++invented;
          ADD_FAILURE() << "invented " << r.raw.toHex(' ').toStdString() << " at " << r.timeUs;
        } else {
          ++found;
        }
      }
      EXPECT_EQ(invented, 0);
      EXPECT_EQ(found, intact.size()) << "intact frames lost";
    }
  }
}

namespace {

class ObservedHost : public ::testing::Test {
 protected:
  void SetUp() override {
    auto line = std::make_unique<ScriptedLine>();
    line_ = line.get();
    host_.setLine(std::move(line));
    host_.setChecksumType(CHKSM_16BIT);
    host_.setCommsEcho(true);
    host_.setFrameObserver(&observer_);
    ASSERT_TRUE(line_->open());
  }

  void answerWith(const QByteArray& answer) {
    line_->setResponder([answer](const QByteArray& written) {
      if (testframes::completeFrameLength(written) == 0) return QByteArray();
      return written + answer;
    });
  }

  CommandSet host_;
  ScriptedLine* line_ = nullptr;
  RecordingObserver observer_;
};

}  // namespace

TEST_F(ObservedHost, EveryTransactionLogsItsFrameAndWhatCameBack) {
  QByteArray badCrc = testframes::reply(0, {}, true);
  badCrc[2] = static_cast<char>(badCrc[2] ^ 1);
  struct Row {
    QByteArray answer;
    std::int16_t result;
    FrameStatus status;
    QByteArray raw;
    const char* caption;
    // Left on the line by the row before: dropped before this row's frame goes out, counted
    // and logged.
    QByteArray dropped = {};
  };
  const QByteArray ack = testframes::reply(0, {}, true);
  const Row rows[] = {
      {ack, 0, FrameStatus::Ok, ack, "OK"},
      // A device that sends its reply twice: the second is no answer to the next command.
      {ack + ack, 0, FrameStatus::Ok, ack, "OK"},
      {testframes::reply(6, {}, true), -1, FrameStatus::Ok, testframes::reply(6, {}, true), "BUSY",
       ack},
      {{}, 2, FrameStatus::Timeout, {}, "Timeout Error [0]"},
      {badCrc, 3, FrameStatus::BadChecksum, badCrc, nullptr},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.caption ? row.caption : "bad crc");
    answerWith(row.answer);
    line_->clearLog();
    observer_.records.clear();
    const int ignoredBefore = host_.statistics().ignoredBytes;
    QString response;
    ASSERT_EQ(host_.SendPoll(40, response), row.result);
    EXPECT_EQ(host_.statistics().ignoredBytes - ignoredBefore, row.dropped.size());
    const std::size_t first = row.dropped.isEmpty() ? 0 : 1;
    ASSERT_EQ(observer_.records.size(), first + 2);
    if (first != 0) {
      EXPECT_EQ(observer_.records[0].status, FrameStatus::Garbage);
      EXPECT_EQ(observer_.records[0].raw, row.dropped);
      EXPECT_EQ(observer_.records[0].caption, QStringLiteral("Dropped [5]"));
    }
    const FrameRecord& sent = observer_.records[first];
    const FrameRecord& back = observer_.records[first + 1];
    EXPECT_EQ(sent.direction, FrameDirection::Host);
    EXPECT_EQ(sent.raw, line_->writtenLog());
    EXPECT_EQ(frameName(sent), QStringLiteral("Simple poll"));
    EXPECT_TRUE(sent.frame.checksumOk);
    EXPECT_EQ(back.direction, FrameDirection::Device);
    EXPECT_EQ(back.status, row.status);
    EXPECT_EQ(back.raw, row.raw);
    EXPECT_EQ(back.result, row.result);
    EXPECT_EQ(back.caption, host_.caption());
    if (row.caption) {
      EXPECT_EQ(back.caption, QString::fromLatin1(row.caption));
    }
    EXPECT_EQ(back.requestHeader, 254);
    EXPECT_EQ(back.peer, 40);
    EXPECT_NEAR(static_cast<double>(back.durationUs) / 1000, host_.lastMessageTime(), 1.0);
    EXPECT_LE(sent.timeUs, back.timeUs);
  }
}

TEST_F(ObservedHost, AnEncryptedLinkLogsTheWireBytesAndDecodesThemInTheClear) {
  const KeyDigits key = keyDigitsFromCode(0x406285);
  host_.setKeyDigits(key);
  host_.setEncryption(true);
  const QByteArray wire = testframes::reply(0, {0x12, 0xD6, 0x87}, true, &key);
  answerWith(wire);
  line_->clearLog();
  QString serial;
  ASSERT_EQ(host_.GetSerialNo(40, serial), 0);
  ASSERT_EQ(observer_.records.size(), 2u);
  EXPECT_EQ(observer_.records[0].raw, line_->writtenLog());
  EXPECT_EQ(observer_.records[0].frame.header, 242);
  EXPECT_TRUE(observer_.records[0].frame.checksumOk);
  EXPECT_EQ(observer_.records[1].raw, wire);
  EXPECT_EQ(observer_.records[1].frame.data, QByteArray("\x12\xD6\x87", 3));
  EXPECT_TRUE(observer_.records[1].frame.checksumOk);
}
