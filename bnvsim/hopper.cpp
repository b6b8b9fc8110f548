#include "bnvsim/hopper.h"

#include <algorithm>

#include "quennet/link/cctalk_codes.h"

namespace bnvsim {

namespace {

constexpr std::uint8_t kEnableCode = 165;
constexpr std::uint8_t kPayoutDisabledFlag = 0x80;  // first test register, bit 7

Identity hopperIdentity() {
  return Identity{.equipmentCategory = "Payout",
                  .manufacturer = "QNT",
                  .productCode = "QHP1",
                  .buildCode = "QHP-STD1",
                  .softwareRevision = "QHP v1.0.00",
                  .serialNumber = 700301,
                  .addressMode = 0x06};
}

}  // namespace

Hopper::Hopper(int address, std::uint32_t securityCode, int coinsHeld)
    : Device(address, hopperIdentity()), securityCode_(securityCode), coinsHeld_(coinsHeld) {}

void Hopper::onReset() {
  enabled_ = false;
  eventCounter_ = 0;
  lastPaid_ = 0;
  lastUnpaid_ = 0;
}

void Hopper::replace(std::uint32_t serial, std::uint32_t dispensed) {
  setSerialNumber(serial);
  dispensed_ = dispensed;
  jamAfter_.reset();
  onReset();
}

Reply Hopper::dispense(std::span<const std::uint8_t> data) {
  if (data.size() != 4 || !enabled_) return Reply::nak();
  const std::uint32_t code = data[0] | (data[1] << 8) | (data[2] << 16);
  if (code != securityCode_) return Reply::nak();
  int paid = std::min<int>(data[3], coinsHeld_);
  if (jamAfter_) {
    paid = std::min(paid, *jamAfter_);
    jamAfter_.reset();
  }
  coinsHeld_ -= paid;
  lastPaid_ = static_cast<std::uint8_t>(paid);
  lastUnpaid_ = static_cast<std::uint8_t>(data[3] - paid);
  dispensed_ += static_cast<std::uint32_t>(paid);
  eventCounter_ = nextEventCounter(eventCounter_);
  return Reply::ack();
}

std::optional<Reply> Hopper::answer(std::uint8_t header, std::span<const std::uint8_t> data) {
  switch (header) {
    case quennet::HOPPER_TEST:
      return Reply::bytes({enabled_ ? std::uint8_t{0} : kPayoutDisabledFlag, 0});
    case quennet::HOPPER_ENABLE:
      // Any byte but the enable code, or none at all, stops payout.
      enabled_ = data.size() == 1 && data[0] == kEnableCode;
      return Reply::ack();
    case quennet::HOPPER_STATUS:
      // Payout completes within the command, so nothing is ever left to pay.
      return Reply::bytes({eventCounter_, 0, lastPaid_, lastUnpaid_});
    case quennet::HOPPER_DISPENSE_COINS:
      return dispense(data);
    case quennet::HOPPER_DISPENSE_COUNT:
      return Reply::bytes(counterBytes(dispensed_));
    case quennet::REQUEST_HOPPER_COIN:
      return Reply::text("GB100A");
    case quennet::STOP_HOPPER:
      enabled_ = false;
      return Reply::bytes({0});
    default:
      return coinDeviceAnswer(header, data);
  }
}

}  // namespace bnvsim
