#include "quennet/link/encryption.h"

namespace quennet {

namespace {

struct FrameKey {
  std::uint8_t x1;
  std::uint8_t x2;
  std::uint8_t reverseMask;
  int feedbackOffset;
  std::uint8_t tap;
};

FrameKey deriveKey(const KeyDigits& k, std::uint8_t tapConstant) {
  return FrameKey{static_cast<std::uint8_t>(255 - (16 * k[0] + k[4])),
                  static_cast<std::uint8_t>(17 * k[2]), static_cast<std::uint8_t>(k[3] & 0x0F),
                  k[1], static_cast<std::uint8_t>(k[5] ^ tapConstant)};
}

bool bitSet(unsigned value, int bit) {
  return ((value >> bit) & 1U) != 0;
}

std::uint8_t reverseBits(std::uint8_t b) {
  std::uint8_t r = 0;
  for (int i = 0; i < 8; ++i) r = static_cast<std::uint8_t>(r | (((b >> i) & 1U) << (7 - i)));
  return r;
}

int lastPosition(const FrameBuffer& buffer) {
  return buffer.dataLength() + 5;
}

void xorRegion(FrameBuffer& buffer, std::uint8_t mask) {
  for (int p = 3; p <= lastPosition(buffer); ++p) buffer.at(p) ^= mask;
}

void reverseSelected(FrameBuffer& buffer, std::uint8_t reverseMask) {
  for (int p = 3; p <= lastPosition(buffer); ++p) {
    if (bitSet(reverseMask, (p - 3) % 4)) buffer.at(p) = reverseBits(buffer.at(p));
  }
}

}  // namespace

KeyDigits keyDigitsFromCode(std::int32_t keyCode) {
  KeyDigits digits{};
  auto value = static_cast<std::uint32_t>(keyCode);
  for (auto& digit : digits) {
    digit = static_cast<std::uint8_t>(value % 16);
    value /= 16;
  }
  return digits;
}

std::optional<std::int32_t> keyCodeFromDigits(const QString& digits) {
  if (digits.size() != kKeyDigitCount) return std::nullopt;
  for (const QChar c : digits) {
    if (c < u'0' || c > u'9') return std::nullopt;
  }
  return keyCodeFromText(digits);
}

std::int32_t keyCodeFromText(const QString& digits) {
  std::int32_t code = 0;
  for (int k = 0; k < kKeyDigitCount && k < digits.size(); ++k) {
    bool ok = false;
    const int digit = QString(digits.at(k)).toInt(&ok, 16);
    code |= (ok ? digit : 0) << (4 * k);
  }
  return code;
}

QString keyTextFromCode(std::int32_t keyCode) {
  QString text;
  for (const std::uint8_t digit : keyDigitsFromCode(keyCode)) text += QString::number(digit, 16);
  return text;
}

KeyBytes keyBytesFromCode(std::int32_t keyCode) {
  const auto value = static_cast<std::uint32_t>(keyCode);
  return {static_cast<std::uint8_t>(value & 0xFFU), static_cast<std::uint8_t>((value >> 8) & 0xFFU),
          static_cast<std::uint8_t>((value >> 16) & 0xFFU)};
}

std::int32_t keyCodeFromBytes(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < 3) return 0;
  return bytes[0] | (bytes[1] << 8) | (bytes[2] << 16);
}

void EncryptFrame(FrameBuffer& buffer, const KeyDigits& key,
                  const std::array<std::uint8_t, 10>& bitTable, std::uint8_t tapConstant) {
  const FrameKey fk = deriveKey(key, tapConstant);
  const int last = lastPosition(buffer);
  xorRegion(buffer, fk.x1);
  reverseSelected(buffer, fk.reverseMask);
  for (int r = 0; r <= 11; ++r) {
    bool f = bitSet(buffer.at(last), 0);
    for (int p = 3; p <= last; ++p) {
      if (bitSet(buffer.at(p),
                 bitTable[static_cast<std::size_t>((p + fk.feedbackOffset - 3) % 10)]))
        f = !f;
    }
    for (int p = 3; p <= last; ++p) {
      bool c = bitSet(buffer.at(p), 0);
      if (bitSet(fk.tap, (p + r - 3) % 8)) c = !c;
      buffer.at(p) = static_cast<std::uint8_t>((buffer.at(p) >> 1) | (f ? 0x80 : 0));
      f = c;
    }
  }
  xorRegion(buffer, fk.x2);
}

void DecryptReply(FrameBuffer& buffer, const KeyDigits& key,
                  const std::array<std::uint8_t, 10>& bitTable, std::uint8_t tapConstant) {
  const FrameKey fk = deriveKey(key, tapConstant);
  const int last = lastPosition(buffer);
  xorRegion(buffer, fk.x2);
  for (int r = 11; r >= 0; --r) {
    bool f = bitSet(buffer.at(3), 7);
    for (int p = 3; p <= last; ++p) {
      const int selected = bitTable[static_cast<std::size_t>((p + fk.feedbackOffset - 3) % 10)] - 1;
      if (bitSet(buffer.at(p), selected)) f = !f;
    }
    for (int p = last; p >= 3; --p) {
      bool c = bitSet(buffer.at(p), 7);
      if (bitSet(fk.tap, ((p + r - 4) % 8 + 8) % 8)) c = !c;
      buffer.at(p) = static_cast<std::uint8_t>(((buffer.at(p) & 0x7F) << 1) | (f ? 1 : 0));
      f = c;
    }
  }
  reverseSelected(buffer, fk.reverseMask);
  xorRegion(buffer, fk.x1);
}

}  // namespace quennet
