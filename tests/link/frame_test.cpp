#include <gtest/gtest.h>

#include <array>

#include "quennet/link/frame.h"
#include "quennet/link/frame_codec.h"
#include "quennet/link/link_engine.h"

using namespace quennet;

namespace {

FrameBuffer pollFrame(std::uint8_t address) {
  FrameBuffer b;
  b.at(1) = address;
  b.at(2) = 0;
  b.at(4) = 254;
  return b;
}

}  // namespace

TEST(Crc16Xmodem, KnownVectors) {
  const std::string digits = "123456789";
  EXPECT_EQ(crc16Xmodem({reinterpret_cast<const std::uint8_t*>(digits.data()), digits.size()}),
            0x31C3);
  // ccTalk public vectors: reset to 40 and its ACK, CRC low byte in the source position.
  FrameBuffer reset;
  reset.at(1) = 40;
  reset.at(4) = 1;
  EXPECT_EQ(Crc16(reset), 63 * 256 + 70);
  FrameBuffer ack;
  ack.at(1) = 1;
  EXPECT_EQ(Crc16(ack), 55 * 256 + 48);
}

TEST(Crc16Xmodem, IgnoresCrcPositions) {
  FrameBuffer b = pollFrame(2);
  const auto clean = Crc16(b);
  b.at(3) = 0x99;
  b.at(5) = 0x77;
  EXPECT_EQ(Crc16(b), clean);
  EXPECT_EQ(clean, 0x60B1);
}

TEST(Checksum8, SumsToZero) {
  FrameBuffer b = pollFrame(2);
  b.at(3) = 1;
  EXPECT_EQ(Checksum8(b), 255);
  // A sum already a multiple of 256 gives 0, not 256.
  FrameBuffer z;
  z.at(1) = 200;
  z.at(3) = 1;
  z.at(4) = 55;
  EXPECT_EQ(Checksum8(z), 0);
  // Data bytes are covered.
  FrameBuffer d;
  d.at(1) = 40;
  d.at(2) = 2;
  d.at(3) = 1;
  d.at(4) = 231;
  d.at(5) = 255;
  d.at(6) = 255;
  const unsigned sum = 40 + 2 + 1 + 231 + 255 + 255 + Checksum8(d);
  EXPECT_EQ(sum % 256, 0u);
}

TEST(BuildFrame, BothModesMatchWorkedExamples) {
  LinkEngine engine;
  engine.LoadFrame(2, 254);
  EXPECT_EQ(engine.BuildFrame(), QByteArray::fromHex("020001feff"));
  EXPECT_EQ(engine.CommandSent(), QStringLiteral("02 00 01 FE FF "));
  EXPECT_EQ(engine.CommandSent(1), QStringLiteral("2,0,1,254,255,"));

  engine.setChecksumType(CHKSM_16BIT);
  EXPECT_EQ(engine.BuildFrame(), QByteArray::fromHex("0200b1fe60"));
  // The codec alone: whatever stands in the source's place is overwritten.
  FrameBuffer frame = pollFrame(2);
  frame.at(3) = 42;
  EXPECT_EQ(FrameCodec{.crc = true}.seal(frame, false), QByteArray::fromHex("0200b1fe60"));
  frame = pollFrame(2);
  frame.at(3) = 42;
  EXPECT_EQ(FrameCodec{}.seal(frame, false), QByteArray::fromHex("020001feff"));
}

TEST(BuildFrame, FaultFlagCorruptsChecksum) {
  LinkEngine engine;
  engine.setMakeChksmError(true);
  // 8-bit: checksum 0 goes out as 1.
  engine.LoadFrame(200, 55);
  EXPECT_EQ(static_cast<std::uint8_t>(engine.BuildFrame().at(4)), 1);
  // 8-bit: checksum 1 goes out as 0.
  engine.LoadFrame(200, 54);
  EXPECT_EQ(static_cast<std::uint8_t>(engine.BuildFrame().at(4)), 0);

  engine.setChecksumType(CHKSM_16BIT);
  engine.LoadFrame(2, 254);
  const QByteArray frame = engine.BuildFrame();
  EXPECT_EQ(static_cast<std::uint8_t>(frame[2]), 0xB2);
  EXPECT_EQ(static_cast<std::uint8_t>(frame[4]), 0x60);
}

TEST(BuildFrame, CrcOfFFFFWithFaultWrapsToZero) {
  LinkEngine engine;
  engine.setChecksumType(CHKSM_16BIT);
  engine.setMakeChksmError(true);
  // Two trailing data bytes can steer a CRC to any value: search the pair that gives 0xFFFF.
  bool found = false;
  for (int d1 = 0; d1 < 256 && !found; ++d1) {
    for (int d2 = 0; d2 < 256 && !found; ++d2) {
      FrameBuffer b;
      b.at(1) = 40;
      b.at(2) = 2;
      b.at(4) = 1;
      b.at(5) = static_cast<std::uint8_t>(d1);
      b.at(6) = static_cast<std::uint8_t>(d2);
      if (Crc16(b) != 0xFFFF) continue;
      found = true;
      const std::array<std::uint8_t, 2> data{b.at(5), b.at(6)};
      engine.LoadFrame(40, 1, data);
      const QByteArray frame = engine.BuildFrame();
      EXPECT_EQ(frame.size(), 7);
      EXPECT_EQ(static_cast<std::uint8_t>(frame[2]), 0);
      EXPECT_EQ(static_cast<std::uint8_t>(frame[6]), 0);
    }
  }
  EXPECT_TRUE(found);
}

TEST(CheckReply, ErrorTextsPutValuesInModeOrder) {
  FrameCodec codec;
  FrameBuffer reply;
  reply.at(1) = 1;
  reply.at(3) = 1;
  reply.at(4) = 0;
  // Computed checksum of 1,0,1,0 is 0xFE; received 0x0C: computed first in 8-bit mode.
  reply.at(5) = 0x0C;
  QString text;
  EXPECT_FALSE(codec.verify(reply, 5, &text));
  EXPECT_EQ(text, QStringLiteral("Checksum Error FE <> C"));
  reply.at(5) = 0xFE;
  EXPECT_TRUE(codec.verify(reply, 5, &text));

  // CRC mode: received first. Poll to 2 computes 0x60B1; receive 0x60B2.
  codec.crc = true;
  reply = pollFrame(2);
  reply.at(3) = 0xB2;
  reply.at(5) = 0x60;
  EXPECT_FALSE(codec.verify(reply, 5, &text));
  EXPECT_EQ(text, QStringLiteral("Checksum Error 60B2 <> 60B1"));
}

TEST(Rendering, EmptyReplyRendersEmpty) {
  LinkEngine engine;
  EXPECT_EQ(engine.ReplyBack(), QString());
  EXPECT_EQ(hexText(0), QStringLiteral("0"));
  EXPECT_EQ(hexText(0xA13D), QStringLiteral("A13D"));
}
