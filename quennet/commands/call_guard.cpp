#include "quennet/commands/call_guard.h"

#include <algorithm>

#include "quennet/link/cctalk_codes.h"
#include "quennet/link/protocol.h"
#include "quennet/link/quennet_error.h"

namespace quennet {

namespace {

// A poll of a resetting device that fails at once (a garbled byte, BUSY) is tried again after
// this much, so a device that answers nonsense while it starts is not flooded.
constexpr int kResetPollPauseMs = 50;

bool inRange(int value, int most) {
  return value >= 0 && value <= most;
}

}  // namespace

void checkCallGuardSettings(const CallGuardSettings& settings) {
  if (!inRange(settings.busyRetries, kMaxBusyRetries) ||
      !inRange(settings.busyPauseMs, kMaxBusyPauseMs) ||
      !inRange(settings.resetWaitMs, kMaxResetWaitMs)) {
    throw QuennetError(kErrInvalidPropertyValue);
  }
}

void CallGuard::waitForReset(CommandSet& set, std::uint8_t address) {
  const auto found = resetting_.find(address);
  if (found == resetting_.end()) return;
  const QDeadlineTimer deadline = found->second;
  resetting_.erase(found);
  // Each poll waits for its own reply: a device still silent costs the poll's time-out, which is
  // the wait itself.
  while (!deadline.hasExpired() && set.portOpen()) {
    QString answer;
    const std::int16_t result = set.SendPoll(address, answer);
    if (result == kResultOk && set.acknowledged()) return;
    if (result != kResultTimeout && set.line()) {
      set.line()->pause(
          static_cast<int>(std::min<qint64>(kResetPollPauseMs, deadline.remainingTime())));
    }
  }
}

std::int32_t CallGuard::run(CommandSet& set, std::optional<std::uint8_t> address,
                            const Call& call) {
  retries_ = 0;
  const bool ownDevice = address && *address != kBroadcastAddress;
  if (ownDevice) waitForReset(set, *address);
  std::int32_t result = call();
  while (result == kResultBusy && retries_ < settings_.busyRetries && set.portOpen()) {
    if (set.line()) set.line()->pause(settings_.busyPauseMs);
    if (!set.portOpen()) break;
    ++retries_;
    result = call();
  }
  // A device that acknowledged a reset takes its time to come back: its next command waits.
  const QByteArray sent = set.sentInClear();
  if (ownDevice && settings_.resetWaitMs > 0 && result == kResultOk && set.acknowledged() &&
      set.lastTransaction().frameSent && sent.size() > 3 &&
      static_cast<std::uint8_t>(sent[0]) == *address &&
      static_cast<std::uint8_t>(sent[3]) == RESET_DEVICE) {
    resetting_[*address] = QDeadlineTimer(settings_.resetWaitMs);
  }
  return result;
}

}  // namespace quennet
