#pragma once
// A coin acceptor: inhibits, buffered credits and coin identities. Like the validator it powers
// up with every coin and the master inhibit closed.

#include <array>
#include <cstdint>

#include "bnvsim/device.h"
#include "bnvsim/event_log.h"
#include "bnvsim/inhibits.h"
#include "quennet/link/protocol_events.h"

namespace bnvsim {

inline constexpr int kCoinPositions = quennet::kPositionCount;
// Error codes of a credit pair for a coin refused because it is inhibited, or not recognised.
inline constexpr auto kCoinInhibited = static_cast<std::uint8_t>(quennet::CoinStatus::Inhibited);
inline constexpr auto kCoinRejected = static_cast<std::uint8_t>(quennet::CoinStatus::Rejected);

class CoinAcceptor : public Device {
 public:
  explicit CoinAcceptor(int address = quennet::kCoinAcceptorAddress);

  void insertCoin(int position);
  // Coins taken, by position - 1: the acceptor's own count, kept through resets.
  const std::array<std::uint32_t, kCoinPositions>& accepted() const { return acceptedAt_; }

 protected:
  std::optional<Reply> answer(std::uint8_t header, std::span<const std::uint8_t> data) override;
  void onReset() override;

 private:
  EventLog credits_;
  Inhibits inhibits_;
  // Audit counters: coins inserted, and coins accepted (credited); a reset keeps them.
  std::uint32_t inserted_ = 0;
  std::uint32_t accepted_ = 0;
  // Coins accepted at each position, as the console's `counters` shows them.
  std::array<std::uint32_t, kCoinPositions> acceptedAt_{};
};

}  // namespace bnvsim
