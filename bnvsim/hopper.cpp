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
  // Power gone: the payout under way stops where it is, and its counts with it. Only the
  // dispense count, kept in the hopper's own memory, still says what went out.
  enabled_ = false;
  eventCounter_ = 0;
  remaining_ = 0;
  nextCoinMs_.reset();
  jamAfter_.reset();
  lastPaid_ = 0;
  lastUnpaid_ = 0;
}

void Hopper::replace(std::uint32_t serial, std::uint32_t dispensed) {
  setSerialNumber(serial);
  dispensed_ = dispensed;
  onReset();
}

void Hopper::advance(double nowMs) {
  nowMs_ = std::max(nowMs_, nowMs);
  while (remaining_ > 0 && nextCoinMs_ && *nextCoinMs_ <= nowMs_) {
    payOne();
    if (nextCoinMs_) *nextCoinMs_ += 1000.0 / rate_;
  }
}

std::optional<double> Hopper::deadline() const {
  return remaining_ > 0 ? nextCoinMs_ : std::nullopt;
}

void Hopper::payOne() {
  if (coinsHeld_ == 0 || (jamAfter_ && *jamAfter_ <= 0)) return endPayout();
  --coinsHeld_;
  --remaining_;
  ++lastPaid_;
  ++dispensed_;
  if (jamAfter_) --*jamAfter_;
  if (remaining_ == 0) endPayout();
}

void Hopper::endPayout() {
  lastUnpaid_ = static_cast<std::uint8_t>(lastUnpaid_ + remaining_);
  remaining_ = 0;
  nextCoinMs_.reset();
  jamAfter_.reset();
}

Reply Hopper::dispense(std::span<const std::uint8_t> data) {
  if (data.size() != 4 || !enabled_) return Reply::nak();
  const std::uint32_t code = data[0] | (data[1] << 8) | (data[2] << 16);
  if (code != (serialAsCode_ ? serialNumber() : securityCode_)) return Reply::nak();
  // One payout at a time: a dispense while coins are still going out is refused.
  if (remaining_ > 0) return Reply::nak();
  eventCounter_ = nextEventCounter(eventCounter_);
  remaining_ = data[3];
  lastPaid_ = 0;
  lastUnpaid_ = 0;
  if (rate_ <= 0) {
    while (remaining_ > 0) payOne();
  } else if (remaining_ > 0) {
    nextCoinMs_ = nowMs_ + 1000.0 / rate_;
  }
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
      return Reply::bytes(
          {eventCounter_, static_cast<std::uint8_t>(remaining_), lastPaid_, lastUnpaid_});
    case quennet::HOPPER_DISPENSE_COINS:
      return dispense(data);
    case quennet::HOPPER_DISPENSE_COUNT:
      return Reply::bytes(counterBytes(dispensed_));
    case quennet::REQUEST_HOPPER_COIN:
      return Reply::text("GB100A");
    case quennet::STOP_HOPPER: {
      // The payout ends at once; the answer is the coins it did not pay. Payout stays off until
      // the host enables it again.
      const auto notPaid = static_cast<std::uint8_t>(remaining_);
      endPayout();
      enabled_ = false;
      return Reply::bytes({notPaid});
    }
    default:
      return coinDeviceAnswer(header, data);
  }
}

}  // namespace bnvsim
