#include "bnvsim/device.h"

#include "quennet/link/cctalk_codes.h"

namespace bnvsim {

Device::Device(int address, Identity identity)
    : address_(address), identity_(std::move(identity)), random_(std::random_device{}()) {}

Reply Device::handle(std::uint8_t header, std::span<const std::uint8_t> data) {
  switch (header) {
    case quennet::SIMPLE_POLL:
      return Reply::ack();
    case quennet::RESET_DEVICE:
      onReset();
      return Reply::ack();
    case quennet::GET_COMMS_VARS:
      return Reply::bytes({comms_.timeouts, comms_.ignoredBytes, comms_.badChecksums});
    case quennet::CLEAR_COMMS_VARS:
      comms_ = {};
      return Reply::ack();
    case quennet::GET_COMMS_REVN:
      return Reply::bytes({1, 4, 2});
    case quennet::GET_EQPT_ID:
      return Reply::text(identity_.equipmentCategory);
    case quennet::GET_MNFCTR_ID:
      return Reply::text(identity_.manufacturer);
    case quennet::GET_PROD_CODE:
      return Reply::text(identity_.productCode);
    case quennet::GET_BUILD_CODE:
      return Reply::text(identity_.buildCode);
    case quennet::GET_CODE_REVN:
      return Reply::text(identity_.softwareRevision);
    case quennet::GET_SERIAL_NO:
      return Reply::bytes(counterBytes(identity_.serialNumber));
    case quennet::GET_ADDRESS_MODE:
      return Reply::bytes({identity_.addressMode});
    case quennet::ADDRESS_CHANGE:
      // 0 is the broadcast address and 1 the host's; neither can be a device's.
      if (data.size() != 1 || data[0] < 2) return Reply::nak();
      address_ = data[0];  // the bus has taken the old address for this reply already
      return Reply::ack();
    case quennet::ADDRESS_RANDOM:
      address_ = std::uniform_int_distribution<int>(2, 255)(random_);
      return Reply::ack();
    default:
      break;
  }
  if (auto own = answer(header, data)) return *own;
  return Reply::nak();
}

std::optional<Reply> coinDeviceAnswer(std::uint8_t header, std::span<const std::uint8_t> data) {
  constexpr std::uint8_t kPriorityUnitTensOfMs = 2;
  constexpr std::uint8_t kPriorityValue = 20;
  constexpr std::uint8_t kDatabaseVersion = 1;
  constexpr std::uint8_t kSorterPath = 1;
  switch (header) {
    case quennet::GET_POLL_PRIORITY:
      return Reply::bytes({kPriorityUnitTensOfMs, kPriorityValue});
    case kRequestDatabaseVersion:
      return Reply::bytes({kDatabaseVersion});
    case kRequestSorterPaths:
      if (data.size() != 1) return Reply::nak();
      return Reply::bytes({kSorterPath, 0, 0, 0});
    default:
      return std::nullopt;
  }
}

std::uint8_t nextEventCounter(std::uint8_t value) {
  return static_cast<std::uint8_t>(value == 255 ? 1 : value + 1);
}

std::vector<std::uint8_t> counterBytes(std::uint32_t value) {
  return {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
          static_cast<std::uint8_t>(value >> 16)};
}

}  // namespace bnvsim
