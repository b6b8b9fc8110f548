#pragma once
// A coin hopper: payout enable, dispense guarded by its three-byte security code, status and
// dispense count. It pays out at once; coins it does not hold are reported unpaid.

#include <cstdint>
#include <optional>

#include "bnvsim/device.h"
#include "quennet/link/protocol_events.h"

namespace bnvsim {

// The code the host's control sends by default, least significant byte first on the wire.
inline constexpr std::uint32_t kDefaultHopperCode = 15263748;

class Hopper : public Device {
 public:
  explicit Hopper(int address = quennet::kHopperAddress,
                  std::uint32_t securityCode = kDefaultHopperCode, int coinsHeld = 500);

  // The next payout jams after `coins` coins: the rest are reported unpaid.
  void jamAfter(int coins) { jamAfter_ = coins; }
  int coinsHeld() const { return coinsHeld_; }
  // Another hopper in its place: its own serial number and dispense count, as at power-up.
  void replace(std::uint32_t serial, std::uint32_t dispensed);
  // Coins this hopper has paid out: its own count, kept through resets.
  std::uint32_t dispensed() const { return dispensed_; }

 protected:
  std::optional<Reply> answer(std::uint8_t header, std::span<const std::uint8_t> data) override;
  void onReset() override;

 private:
  Reply dispense(std::span<const std::uint8_t> data);

  std::uint32_t securityCode_;
  int coinsHeld_;
  bool enabled_ = false;
  std::uint8_t eventCounter_ = 0;
  std::uint8_t lastPaid_ = 0;
  std::uint8_t lastUnpaid_ = 0;
  std::uint32_t dispensed_ = 0;
  std::optional<int> jamAfter_;
};

}  // namespace bnvsim
