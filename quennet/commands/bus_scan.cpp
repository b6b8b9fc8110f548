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

// The framings to try, in order, `first` (when it is one of them) ahead of the others; the
// encrypted one only with a key.
std::vector<Framing> framingsToTry(bool withKey, std::optional<DeviceFraming> first = {}) {
  std::vector<Framing> framings{{DeviceFraming::Crc16, CHKSM_16BIT, false}};
  if (withKey) framings.push_back({DeviceFraming::Encrypted, CHKSM_16BIT, true});
  framings.push_back({DeviceFraming::Checksum8, CHKSM_8BIT, false});
  std::stable_partition(framings.begin(), framings.end(),
                        [first](const Framing& f) { return first && f.kind == *first; });
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

// The set's framing and key, put back as they were when it goes.
class FramingKept {
 public:
  FramingKept(CommandSet& set, const std::optional<KeyDigits>& key)
      : set_(set),
        checksum_(set.checksumType()),
        encryption_(set.encryption()),
        key_(set.keyDigits()) {
    if (key) set.setKeyDigits(*key);
  }
  ~FramingKept() {
    set_.setChecksumType(checksum_);
    set_.setEncryption(encryption_);
    set_.setKeyDigits(key_);
  }
  FramingKept(const FramingKept&) = delete;
  FramingKept& operator=(const FramingKept&) = delete;

 private:
  CommandSet& set_;
  const Checksum_Type checksum_;
  const bool encryption_;
  const KeyDigits key_;
};

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

QString framingCaption(DeviceFraming framing) {
  switch (framing) {
    case DeviceFraming::Crc16:
      return QStringLiteral("CRC-16");
    case DeviceFraming::Encrypted:
      return QStringLiteral("CRC-16 encrypted");
    case DeviceFraming::Checksum8:
      return QStringLiteral("8-bit checksum");
    case DeviceFraming::Unknown:
      break;
  }
  return QStringLiteral("none");
}

HeardAddresses collectAddresses(CommandSet& set, std::optional<KeyDigits> key, bool clash) {
  const FramingKept kept(set, key);
  HeardAddresses heard;
  // A device hears a broadcast only in its own framing. Two devices on one address are told by
  // two answers to one collection; an address heard in several framings counts as many devices
  // as the framing that heard it most.
  for (const Framing& framing : framingsToTry(key.has_value())) {
    apply(set, framing);
    // Room for every byte a collection gathers; one that overflowed still kept what it could.
    std::array<std::uint8_t, kCollectAllMost> bytes{};
    const std::int16_t result = clash ? set.AddressClash(bytes) : set.AddressPoll(bytes);
    if (!set.lastTransaction().frameSent) {
      if (!heard.sent) heard.result = result;
      continue;
    }
    heard.sent = true;
    heard.result = kResultOk;
    const int count = std::min<int>(set.collectedAnswers(), static_cast<int>(bytes.size()));
    std::map<int, int> inThisFraming;
    for (int i = 0; i < count; ++i) {
      const std::uint8_t address = bytes[static_cast<std::size_t>(i)];
      if (address != kBroadcastAddress) ++inThisFraming[address];
    }
    for (const auto& [address, answers] : inThisFraming) {
      heard.answers[address] = std::max(heard.answers[address], answers);
      heard.heardIn.try_emplace(address, framing.kind);
    }
  }
  return heard;
}

FoundDevice identifyDevice(CommandSet& set, int address, std::optional<KeyDigits> key,
                           std::optional<DeviceFraming> first) {
  const FramingKept kept(set, key);
  FoundDevice device;
  device.address = address;
  const auto a = static_cast<std::uint8_t>(address);
  for (const Framing& framing : framingsToTry(key.has_value(), first)) {
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
  return device;
}

std::vector<FoundDevice> scanBus(CommandSet& set, std::optional<KeyDigits> key) {
  std::vector<FoundDevice> found;
  const HeardAddresses heard = collectAddresses(set, key);
  for (const auto& [address, answers] : heard.answers) {
    found.push_back(identifyDevice(set, address, key, heard.heardIn.at(address)));
  }
  return found;
}

}  // namespace quennet
