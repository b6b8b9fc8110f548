#pragma once
// A coin hopper: payout enable, dispense guarded by its three-byte security code, status and
// dispense count. A dispense is acknowledged at once and paid over time, a coin at a time at the
// hopper's rate; its status shows the payout under way, an emergency stop ends it. Coins it does
// not hold are reported unpaid.

#include <cstdint>
#include <optional>

#include "bnvsim/device.h"
#include "quennet/link/protocol_events.h"

namespace bnvsim {

// The code the host's control sends by default, least significant byte first on the wire.
inline constexpr std::uint32_t kDefaultHopperCode = 15263748;
// Coins a second, as a common hopper pays them.
inline constexpr int kDefaultHopperRate = 6;
inline constexpr int kMaxHopperRate = 1000;

class Hopper : public Device {
 public:
  explicit Hopper(int address = quennet::kHopperAddress,
                  std::uint32_t securityCode = kDefaultHopperCode, int coinsHeld = 500);

  // Coins paid a second; 0 pays every coin within the dispense command.
  void setRate(int coinsPerSecond) { rate_ = coinsPerSecond; }
  // Takes its own serial number (as it sends it, least significant byte first) as the security
  // code of a dispense instead of the fixed code.
  void setSerialAsCode(bool serial) { serialAsCode_ = serial; }
  // The payout under way, or the next, jams after `coins` more coins: the rest are reported
  // unpaid.
  void jamAfter(int coins) { jamAfter_ = coins; }
  int coinsHeld() const { return coinsHeld_; }
  // Coins of the payout under way still to pay.
  int coinsRemaining() const { return remaining_; }
  // Another hopper in its place: its own serial number and dispense count, as at power-up.
  void replace(std::uint32_t serial, std::uint32_t dispensed);
  // Coins this hopper has paid out: its own count, kept through resets and power cycles.
  std::uint32_t dispensed() const { return dispensed_; }

  void advance(double nowMs) override;
  std::optional<double> deadline() const override;

 protected:
  std::optional<Reply> answer(std::uint8_t header, std::span<const std::uint8_t> data) override;
  void onReset() override;

 private:
  Reply dispense(std::span<const std::uint8_t> data);
  // The next coin of the payout goes out, or the payout ends short: empty or jammed.
  void payOne();
  // Whatever is left of the payout is not paid.
  void endPayout();

  std::uint32_t securityCode_;
  bool serialAsCode_ = false;
  int rate_ = kDefaultHopperRate;
  int coinsHeld_;
  bool enabled_ = false;
  std::uint8_t eventCounter_ = 0;
  int remaining_ = 0;
  std::uint8_t lastPaid_ = 0;
  std::uint8_t lastUnpaid_ = 0;
  std::uint32_t dispensed_ = 0;
  std::optional<int> jamAfter_;
  double nowMs_ = 0;
  std::optional<double> nextCoinMs_;
};

}  // namespace bnvsim
