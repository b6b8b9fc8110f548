// The bus on a given clock: framing, checks, routing, echo, broadcast timing and spoiled replies.
// Host frames are built and replies checked by the host's own frame codec.
#include <algorithm>
#include <vector>

#include <gtest/gtest.h>

#include "bnvsim/bus.h"
#include "bnvsim/coin_acceptor.h"
#include "bnvsim/hopper.h"
#include "bnvsim/validator.h"
#include "quennet/link/encryption.h"
#include "quennet/link/frame_codec.h"

using namespace bnvsim;
using Bytes = std::vector<std::uint8_t>;

namespace {

class Host {
 public:
  explicit Host(bool crc, bool encryption = false, std::int32_t key = 0x406285)
      : codec{.crc = crc, .encrypted = crc && encryption, .key = quennet::keyDigitsFromCode(key)} {}
  Bytes frame(std::uint8_t to, std::uint8_t header, Bytes data = {}) {
    quennet::FrameBuffer command;
    command.at(1) = to;
    command.at(2) = static_cast<std::uint8_t>(data.size());
    command.at(4) = header;
    for (std::size_t i = 0; i < data.size(); ++i) command.at(5 + int(i)) = data[i];
    const QByteArray bytes = codec.seal(command, corruptChecksum);
    return Bytes(bytes.begin(), bytes.end());
  }
  // Decrypts and verifies a reply the way the host does; false on a checksum failure.
  bool accept(const Bytes& bytes) {
    reply.clear();
    for (std::size_t i = 0; i < bytes.size(); ++i) reply.at(1 + int(i)) = bytes[i];
    if (codec.encrypted) quennet::DecryptReply(reply, codec.key);
    return codec.verify(reply, static_cast<int>(bytes.size()), nullptr);
  }
  std::uint8_t header() const { return reply.at(4); }
  Bytes data() const {
    Bytes out;
    for (int i = 0; i < reply.at(2); ++i) out.push_back(reply.at(5 + i));
    return out;
  }
  quennet::FrameCodec codec;
  quennet::FrameBuffer reply;
  bool corruptChecksum = false;
};

LineOptions line(bool echo, bool crc, bool encryption = false) {
  LineOptions o;
  o.echo = echo;
  o.crc = crc;
  o.encryption = encryption;
  return o;
}

}  // namespace

TEST(BusFraming, EchoFirstThenTheCheckedReplyFromTheAddressedDevice) {
  for (bool crc : {true, false}) {
    Validator validator(40, true);
    Bus bus(line(true, crc));
    bus.attach(&validator);
    Host host(crc);
    const Bytes poll = host.frame(40, 254);
    const auto out = bus.receive(poll, 100);
    ASSERT_EQ(out.size(), 2u) << crc;
    EXPECT_TRUE(out[0].echo);
    EXPECT_EQ(out[0].bytes, poll);
    EXPECT_FALSE(out[1].echo);
    EXPECT_DOUBLE_EQ(out[1].atMs, 100);
    ASSERT_TRUE(host.accept(out[1].bytes)) << crc;
    EXPECT_EQ(out[1].bytes[0], 1);  // to the host
    EXPECT_EQ(host.header(), kHeaderAck);
    if (!crc) {
      EXPECT_EQ(out[1].bytes[2], 40);  // source address in 8-bit mode
    }
    EXPECT_EQ(bus.receive(host.frame(41, 254), 200).size(), 1u);  // only the echo
    EXPECT_EQ(bus.framesReceived(), 2);
  }
}

TEST(BusFraming, BytesSplitAcrossReadsStillMakeOneFrame) {
  Validator validator(40, true);
  Bus bus(line(false, true));
  bus.attach(&validator);
  Host host(true);
  const Bytes frame = host.frame(40, 245);
  EXPECT_TRUE(bus.receive(Bytes(frame.begin(), frame.begin() + 3), 10).empty());
  const auto out = bus.receive(Bytes(frame.begin() + 3, frame.end()), 40);
  ASSERT_EQ(out.size(), 1u);
  ASSERT_TRUE(host.accept(out[0].bytes));
  EXPECT_EQ(host.data().size(), 14u);
}

TEST(BusFraming, AGapOver50msDropsThePartialFrameAndIsCounted) {
  Validator validator(40, true);
  Bus bus(line(false, true));
  bus.attach(&validator);
  Host host(true);
  const Bytes frame = host.frame(40, 254);
  bus.receive(Bytes(frame.begin(), frame.begin() + 3), 0);
  ASSERT_TRUE(bus.gapDeadline().has_value());
  EXPECT_DOUBLE_EQ(*bus.gapDeadline(), kInterByteGapMs);
  EXPECT_TRUE(bus.receive(Bytes(frame.begin() + 3, frame.end()), 60).empty());
  EXPECT_EQ(validator.comms().timeouts, 1);
  EXPECT_EQ(validator.comms().ignoredBytes, 3);
  // The two stray bytes are a partial frame of their own, dropped once their gap passes.
  bus.expireGap(200);
  EXPECT_FALSE(bus.gapDeadline().has_value());
  EXPECT_EQ(validator.comms().timeouts, 2);
  ASSERT_EQ(bus.receive(frame, 300).size(), 1u);
}

TEST(BusFraming, BadChecksumIsSilentAndCountedByTheAddressedDevice) {
  Validator validator(40, true);
  Hopper hopper;
  Bus bus(line(true, true));
  bus.attach(&validator);
  bus.attach(&hopper);
  Host host(true);
  host.corruptChecksum = true;
  const auto out = bus.receive(host.frame(40, 254), 0);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_TRUE(out[0].echo);
  EXPECT_EQ(validator.comms().badChecksums, 1);
  EXPECT_EQ(hopper.comms().badChecksums, 0);
  EXPECT_EQ(bus.framesReceived(), 1);
}

TEST(BusEncryption, BothDirectionsAndTheNewKeyAppliesAfterTheChangeReply) {
  Validator validator(40, true);
  Bus bus(line(false, true, true));
  bus.attach(&validator);
  Host host(true, true, 0x406285);
  auto out = bus.receive(host.frame(40, 245), 0);
  ASSERT_EQ(out.size(), 1u);
  ASSERT_TRUE(host.accept(out[0].bytes));
  EXPECT_EQ(host.data().size(), 14u);

  Host wrongKey(true, true, 0x123456);
  EXPECT_TRUE(bus.receive(wrongKey.frame(40, 254), 10).empty());

  // New key 123456 packed as the host packs it: 0x21, 0x43, 0x65.
  out = bus.receive(host.frame(40, 137, {0x21, 0x43, 0x65}), 20);
  ASSERT_EQ(out.size(), 1u);
  ASSERT_TRUE(host.accept(out[0].bytes)) << "the change is answered under the old key";
  EXPECT_EQ(bus.lineOptions().key, QStringLiteral("123456"));
  EXPECT_TRUE(bus.receive(host.frame(40, 254), 30).empty());
  Host renewed(true, true, 0x654321);
  out = bus.receive(renewed.frame(40, 254), 40);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_TRUE(renewed.accept(out[0].bytes));
}

TEST(BusAddressing, PollAndClashAnswerOneByteEachAfterFourMsPerAddress) {
  Validator validator(40, true);
  Hopper hopper;
  Bus bus(line(false, true));
  bus.attach(&validator);
  bus.attach(&hopper);
  Host host(true);
  auto out = bus.receive(host.frame(0, 253), 1000);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].bytes, Bytes{3});
  EXPECT_DOUBLE_EQ(out[0].atMs, 1012);
  EXPECT_EQ(out[1].bytes, Bytes{40});
  EXPECT_DOUBLE_EQ(out[1].atMs, 1160);
  // A clash is answered with each device's own address after a random delay, in time order.
  for (int round = 0; round < 20; ++round) {
    const double at = 2000 + 2000 * round;
    out = bus.receive(host.frame(0, 252), at);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_LE(out[0].atMs, out[1].atMs);
    EXPECT_GE(out[0].atMs, at);
    EXPECT_LT(out[1].atMs, at + 1200);  // inside the host's listening time
    Bytes heard{out[0].bytes[0], out[1].bytes[0]};
    std::sort(heard.begin(), heard.end());
    EXPECT_EQ(heard, (Bytes{3, 40}));
    EXPECT_EQ(out[0].bytes.size(), 1u);
  }

  // An address change is answered from the old address; the device then lives at the new one.
  out = bus.receive(host.frame(40, 251, {77}), 53000);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_TRUE(host.accept(out[0].bytes));
  EXPECT_EQ(validator.address(), 77);
  EXPECT_TRUE(bus.receive(host.frame(40, 254), 53100).empty());
  EXPECT_EQ(bus.receive(host.frame(77, 254), 53200).size(), 1u);
}

// A kiosk: each device reads and answers only in its own framing, whatever the line's is; a
// frame in another framing is a bad checksum to it. A broadcast reaches only the devices that
// can read it.
TEST(BusFraming, EachDeviceKeepsItsOwnChecksumAndKey) {
  Validator validator(40, true);
  CoinAcceptor coins;
  Hopper hopper;
  Bus bus(line(false, true));  // the line's framing: CRC-16 in the clear
  bus.attach(&validator, QStringLiteral("validator"),
             Framing{true, true, QStringLiteral("123456")});
  bus.attach(&coins, QStringLiteral("coin acceptor"), Framing{false, false, {}});
  bus.attach(&hopper, QStringLiteral("hopper"));
  const struct {
    const char* mode;
    bool crc;
    bool encryption;
    std::int32_t key;
    std::vector<int> answered;  // the devices that answer a poll in this framing
  } cases[] = {
      {"CRC-16 encrypted, key 123456",
       true,
       true,
       quennet::keyCodeFromText(QStringLiteral("123456")),
       {40}},
      {"CRC-16 encrypted, another key", true, true, 0x406285, {}},
      {"8-bit checksum", false, false, 0, {2}},
      {"CRC-16", true, false, 0, {3}},
  };
  double now = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mode);
    Host host(c.crc, c.encryption, c.key);
    for (int address : {2, 3, 40}) {
      const auto out = bus.receive(host.frame(static_cast<std::uint8_t>(address), 254), now += 100);
      const bool answers = std::count(c.answered.begin(), c.answered.end(), address) > 0;
      ASSERT_EQ(out.size(), answers ? 1u : 0u) << address;
      if (answers) {
        ASSERT_TRUE(host.accept(out[0].bytes)) << address;
        EXPECT_EQ(host.header(), kHeaderAck);
      }
    }
    const auto out = bus.receive(host.frame(0, 253), now += 100);
    Bytes heard;
    for (const Transmission& t : out) heard.push_back(t.bytes.at(0));
    EXPECT_EQ(heard, Bytes(c.answered.begin(), c.answered.end()));
  }
  EXPECT_EQ(coins.comms().badChecksums, 6);  // three framings, a poll and a broadcast each
  EXPECT_EQ(validator.comms().badChecksums, 6);
  ASSERT_TRUE(bus.framingAt(2).has_value());
  EXPECT_FALSE(bus.framingAt(2)->crc);
  EXPECT_FALSE(bus.framingAt(4).has_value());

  // A key change applies to the device that was asked, not to the line or the others.
  Host validatorHost(true, true, quennet::keyCodeFromText(QStringLiteral("123456")));
  ASSERT_EQ(bus.receive(validatorHost.frame(40, 137, {0x11, 0x11, 0x11}), now += 100).size(), 1u);
  EXPECT_TRUE(bus.receive(validatorHost.frame(40, 254), now += 100).empty());
  Host renewed(true, true, 0x111111);
  EXPECT_EQ(bus.receive(renewed.frame(40, 254), now += 100).size(), 1u);
  EXPECT_EQ(bus.lineOptions().key, QStringLiteral("582604"));
  EXPECT_EQ(bus.receive(Host(true).frame(3, 254), now += 100).size(), 1u);
}

// A device's own faults: BUSY to its next N commands, and silence after an acknowledged reset
// (to the address poll too) until it is back; the other devices answer throughout.
TEST(BusFaults, ADeviceAnswersBusyForNCommandsAndIsSilentAfterASlowReset) {
  Validator validator(40, true);
  Hopper hopper;
  Bus bus(line(false, true));
  bus.attach(&validator);
  bus.attach(&hopper);
  Host host(true);
  EXPECT_FALSE(bus.setBusyReplies(41, 1));
  ASSERT_TRUE(bus.setBusyReplies(40, 2));
  double now = 0;
  const auto header = [&](int address, std::uint8_t command) -> int {
    const auto out = bus.receive(host.frame(static_cast<std::uint8_t>(address), command), now);
    if (out.empty()) return -1;
    EXPECT_TRUE(host.accept(out[0].bytes));
    return host.header();
  };
  now = 10;
  EXPECT_EQ(header(40, 254), kHeaderBusy);
  EXPECT_EQ(header(3, 254), kHeaderAck);
  EXPECT_EQ(header(40, 242), kHeaderBusy);
  EXPECT_EQ(header(40, 254), kHeaderAck);

  ASSERT_TRUE(bus.setResetSilence(40, kDefaultResetSilenceMs));
  now = 1000;
  EXPECT_EQ(header(40, 1), kHeaderAck);
  now = 1000 + kDefaultResetSilenceMs - 1;
  EXPECT_EQ(header(40, 254), -1);
  EXPECT_EQ(header(3, 254), kHeaderAck);
  auto out = bus.receive(host.frame(0, 253), now);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].bytes, Bytes{3});
  now = 1000 + kDefaultResetSilenceMs + 1;
  EXPECT_EQ(header(40, 254), kHeaderAck);
  // Turned off, a reset is back at once.
  ASSERT_TRUE(bus.setResetSilence(40, 0));
  EXPECT_EQ(header(40, 1), kHeaderAck);
  EXPECT_EQ(header(40, 254), kHeaderAck);
}

TEST(BusFaults, EachFaultSpoilsTheNextReplyOnly) {
  Validator validator(40, true);
  Bus bus(line(true, true));
  bus.attach(&validator);
  Host host(true);
  const Bytes poll = host.frame(40, 254);
  const Bytes ack = bus.receive(poll, 0)[1].bytes;
  double now = 10;
  const auto next = [&] { return bus.receive(poll, now += 1000); };

  bus.faults().inject(Fault::Silent, 2);
  EXPECT_EQ(next().size(), 1u);
  EXPECT_EQ(next().size(), 1u);
  EXPECT_EQ(next().size(), 2u);

  bus.faults().inject(Fault::Busy, 1);
  auto out = next();
  ASSERT_TRUE(host.accept(out[1].bytes));
  EXPECT_EQ(host.header(), kHeaderBusy);
  bus.faults().inject(Fault::Nak, 1);
  out = next();
  ASSERT_TRUE(host.accept(out[1].bytes));
  EXPECT_EQ(host.header(), kHeaderNak);

  bus.faults().inject(Fault::BadCrc, 1);
  EXPECT_FALSE(host.accept(next()[1].bytes));
  bus.faults().inject(Fault::Truncated, 1);
  out = next();
  EXPECT_GE(out[1].bytes.size(), 2u);
  EXPECT_LT(out[1].bytes.size(), ack.size());
  bus.faults().inject(Fault::Noise, 1);
  out = next();
  EXPECT_GT(out[1].bytes.size(), ack.size());
  EXPECT_TRUE(std::equal(ack.rbegin(), ack.rend(), out[1].bytes.rbegin()));
  bus.faults().inject(Fault::Late, 1);
  out = next();
  EXPECT_GE(out[1].atMs - now, 500);
  bus.faults().inject(Fault::NoEcho, 1);
  out = next();
  ASSERT_EQ(out.size(), 1u);
  EXPECT_FALSE(out[0].echo);
  EXPECT_EQ(out[0].bytes, ack);

  out = next();
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[1].bytes, ack);
  EXPECT_DOUBLE_EQ(out[1].atMs, now);
}

TEST(BusFaults, ProbabilityOneSpoilsEveryReplyAndZeroNone) {
  Validator validator(40, true);
  Bus bus(line(false, true));
  bus.attach(&validator);
  Host host(true);
  bus.faults().setProbability(Fault::Busy, 1.0);
  for (int i = 0; i < 5; ++i) {
    const auto out = bus.receive(host.frame(40, 254), 100.0 * i);
    ASSERT_EQ(out.size(), 1u);
    ASSERT_TRUE(host.accept(out[0].bytes));
    EXPECT_EQ(host.header(), kHeaderBusy);
  }
  bus.faults().setProbability(Fault::Busy, 0.0);
  const auto out = bus.receive(host.frame(40, 254), 1000);
  ASSERT_TRUE(host.accept(out[0].bytes));
  EXPECT_EQ(host.header(), kHeaderAck);
}

TEST(BusTiming, ReplyDelayAndStackerCycleShiftTheReply) {
  Validator validator(40, true);
  LineOptions o = line(false, true);
  o.replyDelayMs = 30;
  Bus bus(o);
  bus.attach(&validator);
  Host host(true);
  EXPECT_DOUBLE_EQ(bus.receive(host.frame(40, 254), 0)[0].atMs, 30);
  EXPECT_DOUBLE_EQ(bus.receive(host.frame(40, 147), 100)[0].atMs, 130 + kStackerCycleMs);

  // Paced: the echo comes back as the host's bytes cross the wire, and the reply starts once the
  // host's last byte is through, whether or not the line echoes.
  for (bool echo : {true, false}) {
    o.echo = echo;
    o.pacing = true;
    bus.setLineOptions(o);
    const double at = 1000.0 * (echo ? 2 : 3);
    const auto out = bus.receive(host.frame(40, 254), at);
    ASSERT_EQ(out.size(), echo ? 2u : 1u);
    if (echo) {
      EXPECT_DOUBLE_EQ(out[0].atMs, at + kByteTimeMs);
    }
    EXPECT_DOUBLE_EQ(out.back().atMs, at + 6 * kByteTimeMs + 30);
  }
}

TEST(BusKey, KeyChangedToNibblesAboveNineSurvivesHandingTheLineBack) {
  Validator validator(40, true);
  Bus bus(line(false, true, true));
  bus.attach(&validator);
  Host host(true, true);
  ASSERT_EQ(bus.receive(host.frame(40, 137, {0xAB, 0xCD, 0xEF}), 0).size(), 1u);
  // What the console does for any line change.
  bus.setLineOptions(bus.lineOptions());
  Host changed(true, true, 0xEFCDAB);
  const auto out = bus.receive(changed.frame(40, 254), 100);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_TRUE(changed.accept(out[0].bytes));
}

TEST(BusFlood, OnlyFramesThatWouldWaitForTheLineAreCappedAndDropsAreCounted) {
  for (bool pacing : {false, true}) {
    Validator validator(40, true);
    LineOptions o = line(true, true);
    o.pacing = pacing;
    Bus bus(o);
    bus.attach(&validator);
    Host host(true);
    Bytes ten;
    for (int i = 0; i < 10; ++i) {
      const Bytes poll = host.frame(40, 254);
      ten.insert(ten.end(), poll.begin(), poll.end());
    }
    // Unpaced, each reply leaves at once: a host may send frames back to back.
    const std::size_t answered = pacing ? kMaxWaitingTransmissions / 2 : 10;
    EXPECT_EQ(bus.receive(ten, 0).size(), 2 * answered) << pacing;
    EXPECT_EQ(bus.framesReceived(), 10);
    EXPECT_EQ(bus.framesDropped(), static_cast<int>(10 - answered));
    // A dropped frame keeps its echo, unless that too would have to wait for a paced line.
    const auto dropped = bus.receive(host.frame(40, 254), 100, kMaxWaitingTransmissions);
    ASSERT_EQ(dropped.size(), pacing ? 0u : 1u);
    if (!pacing) {
      EXPECT_TRUE(dropped[0].echo);
    }
    EXPECT_EQ(bus.receive(host.frame(40, 254), 200, kMaxWaitingTransmissions - 1).size(), 2u);
  }
}
