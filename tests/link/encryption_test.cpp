#include <random>

#include <gtest/gtest.h>

#include "quennet/link/encryption.h"
#include "quennet/link/link_engine.h"

using namespace quennet;

namespace {

FrameBuffer randomFrame(std::mt19937& rng, int dataLength) {
  FrameBuffer b;
  std::uniform_int_distribution<int> byte(0, 255);
  for (int p = 1; p <= dataLength + 5; ++p) b.at(p) = static_cast<std::uint8_t>(byte(rng));
  b.at(2) = static_cast<std::uint8_t>(dataLength);
  return b;
}

}  // namespace

TEST(Encryption, KeyDigitsAreNibbles) {
  const KeyDigits d = keyDigitsFromCode(0x406285);
  EXPECT_EQ(d, (KeyDigits{5, 8, 2, 6, 0, 4}));
  // Bits above the sixth nibble are ignored.
  EXPECT_EQ(keyDigitsFromCode(0x7406285), d);
}

TEST(Encryption, RoundTripsForRandomKeysFramesAndTables) {
  std::mt19937 rng(1234);
  std::uniform_int_distribution<int> nibble(0, 15);
  std::uniform_int_distribution<int> tableEntry(1, 7);
  std::uniform_int_distribution<int> length(0, kMaxDataLength);
  for (int round = 0; round < 2000; ++round) {
    KeyDigits key{};
    for (auto& k : key) k = static_cast<std::uint8_t>(nibble(rng));
    std::array<std::uint8_t, 10> table{};
    for (auto& t : table) t = static_cast<std::uint8_t>(tableEntry(rng));
    const auto tap = static_cast<std::uint8_t>(rng() & 0xFF);
    const int n = round < 50 ? round % 4 : length(rng);
    const FrameBuffer clear = randomFrame(rng, n);
    FrameBuffer scrambled = clear;
    EncryptFrame(scrambled, key, table, tap);
    EXPECT_EQ(scrambled.at(1), clear.at(1));
    EXPECT_EQ(scrambled.at(2), clear.at(2));
    DecryptReply(scrambled, key, table, tap);
    for (int p = 1; p <= FrameBuffer::kSize; ++p) ASSERT_EQ(scrambled.at(p), clear.at(p)) << p;
  }
}

TEST(Encryption, ChangesTheRegionAndDependsOnTheKey) {
  FrameBuffer clear;
  clear.at(1) = 40;
  clear.at(4) = 254;  // N = 0: a three-byte region still gets all twelve passes
  FrameBuffer a = clear;
  FrameBuffer b = clear;
  EncryptFrame(a, keyDigitsFromCode(0x582604));
  EncryptFrame(b, keyDigitsFromCode(0x582605));
  bool regionChanged = false;
  bool keysDiffer = false;
  for (int p = 3; p <= 5; ++p) {
    regionChanged |= a.at(p) != clear.at(p);
    keysDiffer |= a.at(p) != b.at(p);
  }
  EXPECT_TRUE(regionChanged);
  EXPECT_TRUE(keysDiffer);
  EXPECT_EQ(a.at(6), 0) << "nothing past the frame is touched";
}

TEST(Encryption, EngineScramblesOnlyInCrcMode) {
  LinkEngine engine;
  engine.setEncryption(true);
  engine.setKeyDigits(keyDigitsFromCode(0x123456));
  engine.LoadFrame(40, 254);
  // 8-bit mode: the frame goes out in the clear.
  EXPECT_EQ(engine.BuildFrame(), QByteArray::fromHex("280001fed9"));
  engine.setChecksumType(CHKSM_16BIT);
  const QByteArray sent = engine.BuildFrame();
  EXPECT_EQ(sent.left(2), QByteArray::fromHex("2800"));
  FrameBuffer back = engine.CommandBuffer();
  DecryptReply(back, engine.keyDigits());
  EXPECT_EQ(Crc16(back), back.at(5) * 256 + back.at(3));
  EXPECT_EQ(back.at(4), 254);
}

// Known answers for the shared bit table and tap constant, computed with an independent public
// implementation: a round trip alone would pass a fault the engine and a device model share, and
// only these tell whether a real device can read the frames. Keys are typed digits: "582604" is
// KeyCode 0x406285.
struct KnownFrame {
  std::int32_t keyCode;
  const char* clear;
  const char* scrambled;
};

class EncryptionVectors : public ::testing::TestWithParam<KnownFrame> {
 protected:
  static FrameBuffer frameOf(const char* hex) {
    const QByteArray bytes = QByteArray::fromHex(hex);
    FrameBuffer b;
    for (int i = 0; i < bytes.size(); ++i) b.at(i + 1) = static_cast<std::uint8_t>(bytes[i]);
    return b;
  }
  static QByteArray hexOf(const FrameBuffer& b) {
    const auto bytes = b.first(b.frameLength());
    return QByteArray(reinterpret_cast<const char*>(bytes.data()), b.frameLength()).toHex(' ');
  }
};

TEST_P(EncryptionVectors, ScrambleAndUnscrambleAWholeFrame) {
  const KeyDigits key = keyDigitsFromCode(GetParam().keyCode);
  FrameBuffer frame = frameOf(GetParam().clear);
  EncryptFrame(frame, key);
  EXPECT_EQ(hexOf(frame), QByteArray(GetParam().scrambled));
  frame = frameOf(GetParam().scrambled);
  DecryptReply(frame, key);
  EXPECT_EQ(hexOf(frame), QByteArray(GetParam().clear));
}

INSTANTIATE_TEST_SUITE_P(PublishedVectors, EncryptionVectors,
                         ::testing::Values(KnownFrame{0x406285, "28 00 b6 fe 21", "28 00 49 b5 f1"},
                                           KnownFrame{0x406285, "28 00 3a f2 e0", "28 00 80 3d 32"},
                                           KnownFrame{0x406285, "28 00 31 9f 5d", "28 00 95 4d 89"},
                                           KnownFrame{0x654321, "28 01 bc 9a 01 62",
                                                      "28 01 93 30 2f 8b"}));
