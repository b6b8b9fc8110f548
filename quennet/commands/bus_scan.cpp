#include "quennet/commands/bus_scan.h"

#include <algorithm>
#include <array>
#include <set>

#include "quennet/commands/reply_renderings.h"
#include "quennet/link/protocol.h"

namespace quennet {

namespace {

struct Framing {
  DeviceFraming kind;
  Checksum_Type checksum;
  bool encryption;
};

// The framings to try, in order; the encrypted one only with a key.
std::vector<Framing> framingsToTry(bool withKey) {
  std::vector<Framing> framings{{DeviceFraming::Crc16, CHKSM_16BIT, false}};
  if (withKey) framings.push_back({DeviceFraming::Encrypted, CHKSM_16BIT, true});
  framings.push_back({DeviceFraming::Checksum8, CHKSM_8BIT, false});
  return framings;
}

void apply(CommandSet& set, const Framing& framing) {
  set.setChecksumType(framing.checksum);
  set.setEncryption(framing.encryption);
}

// One text answer in the framing set; empty when the device gave none.
template <typename Method>
QString textOf(CommandSet& set, std::uint8_t address, Method method) {
  QString text;
  return (set.*method)(address, text) == kResultOk && set.acknowledged() ? text : QString();
}

}  // namespace

QString framingName(DeviceFraming framing) {
  switch (framing) {
    case DeviceFraming::Crc16:
      return QStringLiteral("crc16");
    case DeviceFraming::Encrypted:
      return QStringLiteral("encrypted");
    case DeviceFraming::Checksum8:
      return QStringLiteral("checksum8");
    case DeviceFraming::Unknown:
      break;
  }
  return QStringLiteral("unknown");
}

std::vector<FoundDevice> scanBus(CommandSet& set, std::optional<KeyDigits> key) {
  const Checksum_Type checksumBefore = set.checksumType();
  const bool encryptionBefore = set.encryption();
  const KeyDigits keyBefore = set.keyDigits();
  if (key) set.setKeyDigits(*key);
  const std::vector<Framing> framings = framingsToTry(key.has_value());

  // A device hears the poll only in its own framing.
  std::set<int> addresses;
  for (const Framing& framing : framings) {
    apply(set, framing);
    std::array<std::uint8_t, FrameBuffer::kSize> heard{};
    if (set.AddressPoll(heard) != kResultOk) continue;
    const int count = std::min<int>(set.collectedAnswers(), static_cast<int>(heard.size()));
    for (int i = 0; i < count; ++i) {
      if (heard[static_cast<std::size_t>(i)] != kBroadcastAddress) {
        addresses.insert(heard[static_cast<std::size_t>(i)]);
      }
    }
  }

  std::vector<FoundDevice> found;
  for (const int address : addresses) {
    FoundDevice device;
    device.address = address;
    const auto a = static_cast<std::uint8_t>(address);
    for (const Framing& framing : framings) {
      apply(set, framing);
      QString answer;
      if (set.SendPoll(a, answer) != kResultOk || !set.acknowledged()) continue;
      device.framing = framing.kind;
      device.category = textOf(set, a, &CommandSet::GetEqptID);
      device.manufacturer = textOf(set, a, &CommandSet::GetManfctrID);
      device.product = textOf(set, a, &CommandSet::GetProductCode);
      QString serial;
      if (set.GetSerialNo(a, serial) == kResultOk) {
        device.serial = serialLabelOf(set.sentInClear(), set.replyInClear());
      }
      break;
    }
    found.push_back(device);
  }

  set.setChecksumType(checksumBefore);
  set.setEncryption(encryptionBefore);
  set.setKeyDigits(keyBefore);
  return found;
}

}  // namespace quennet
