#include "bnvsim/device.h"

namespace bnvsim {

namespace {

enum Header : std::uint8_t {
  kReset = 1,
  kCommsStatus = 2,
  kClearCommsStatus = 3,
  kCommsRevision = 4,
  kAddressMode = 169,
  kBuildCode = 192,
  kSoftwareRevision = 241,
  kSerialNumber = 242,
  kProductCode = 244,
  kEquipmentCategory = 245,
  kManufacturer = 246,
  kAddressRandom = 250,
  kAddressChange = 251,
  kSimplePoll = 254,
};

}  // namespace

Device::Device(int address, Identity identity)
    : address_(address), identity_(std::move(identity)), random_(std::random_device{}()) {}

std::uint8_t Device::addressClashByte() {
  return static_cast<std::uint8_t>(std::uniform_int_distribution<int>(0, 255)(random_));
}

Reply Device::handle(std::uint8_t header, std::span<const std::uint8_t> data) {
  switch (header) {
    case kSimplePoll:
      return Reply::ack();
    case kReset:
      onReset();
      return Reply::ack();
    case kCommsStatus:
      return Reply::bytes({comms_.timeouts, comms_.ignoredBytes, comms_.badChecksums});
    case kClearCommsStatus:
      comms_ = {};
      return Reply::ack();
    case kCommsRevision:
      return Reply::bytes({1, 4, 2});
    case kEquipmentCategory:
      return Reply::text(identity_.equipmentCategory);
    case kManufacturer:
      return Reply::text(identity_.manufacturer);
    case kProductCode:
      return Reply::text(identity_.productCode);
    case kBuildCode:
      return Reply::text(identity_.buildCode);
    case kSoftwareRevision:
      return Reply::text(identity_.softwareRevision);
    case kSerialNumber:
      return Reply::bytes({static_cast<std::uint8_t>(identity_.serialNumber >> 16),
                           static_cast<std::uint8_t>(identity_.serialNumber >> 8),
                           static_cast<std::uint8_t>(identity_.serialNumber)});
    case kAddressMode:
      return Reply::bytes({identity_.addressMode});
    case kAddressChange:
      // 0 is the broadcast address and 1 the host's; neither can be a device's.
      if (data.size() != 1 || data[0] < 2) return Reply::nak();
      address_ = data[0];  // the bus has taken the old address for this reply already
      return Reply::ack();
    case kAddressRandom:
      address_ = std::uniform_int_distribution<int>(2, 255)(random_);
      return Reply::ack();
    default:
      break;
  }
  if (auto own = answer(header, data)) return *own;
  return Reply::nak();
}

std::uint8_t nextEventCounter(std::uint8_t value) {
  return static_cast<std::uint8_t>(value == 255 ? 1 : value + 1);
}

std::vector<std::uint8_t> counterBytes(std::uint32_t value) {
  return {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
          static_cast<std::uint8_t>(value >> 16)};
}

}  // namespace bnvsim
