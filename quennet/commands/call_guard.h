#pragma once
// How a caller on a live bus rides out a device that is busy or coming back from a reset: a call
// answered BUSY goes out again after a pause, a set number of times; a device that acknowledged
// a reset is polled until it answers (up to a set span) before its next command. The control's
// own calls do neither: each answers what its one transaction gave.

#include <cstdint>
#include <functional>
#include <map>
#include <optional>

#include <QDeadlineTimer>

#include "quennet/commands/command_set.h"
#include "quennet/quennet_export.h"

namespace quennet {

/// BUSY retries and the wait after a reset.
struct CallGuardSettings {
  /// Times a call answered BUSY is sent again; 0: the first BUSY is the call's result (-1).
  int busyRetries = 0;
  /// Pause before each retry, in milliseconds.
  int busyPauseMs = 100;
  /// Longest wait for a reset device to answer a poll before its next command; 0: no wait.
  int resetWaitMs = 0;
};

/// Ranges the setters take.
///@{
inline constexpr int kMaxBusyRetries = 100;
inline constexpr int kMaxBusyPauseMs = 2000;
inline constexpr int kDefaultResetWaitMs = 2000;
inline constexpr int kMaxResetWaitMs = 60000;
///@}

/// Throws QuennetError 380 (invalid property value) for a setting outside its range.
QUENNET_EXPORT void checkCallGuardSettings(const CallGuardSettings& settings);

/// Runs calls on a command set with BUSY retries and the wait after a reset. Keeps which devices
/// were reset, so one guard serves every call on one line.
class QUENNET_EXPORT CallGuard {
 public:
  /// One command on the guard's command set, returning its result.
  using Call = std::function<std::int32_t()>;

  /// Takes effect on the next run(); check the settings first (checkCallGuardSettings()).
  void setSettings(const CallGuardSettings& settings) { settings_ = settings; }
  /// The BUSY retries, their pause and the reset wait in force.
  const CallGuardSettings& settings() const { return settings_; }

  /// Runs `call` (one command on `set`) for the device at `address` (std::nullopt, or the
  /// broadcast address: no device of its own). Waits first while that device comes back from a
  /// reset, then sends the call again while it answers BUSY. Every frame goes through `set`, so a
  /// frame observer sees each poll and each retry. Returns the last call's result.
  std::int32_t run(CommandSet& set, std::optional<std::uint8_t> address, const Call& call);
  /// Retries the last run() made.
  int lastRetries() const { return retries_; }
  /// Forgets the devices reset (the port was closed and opened again).
  void forgetResets() { resetting_.clear(); }

 private:
  void waitForReset(CommandSet& set, std::uint8_t address);

  CallGuardSettings settings_;
  std::map<std::uint8_t, QDeadlineTimer> resetting_;
  int retries_ = 0;
};

}  // namespace quennet
