#pragma once
// The requests a BusClient has queued and its worker has not yet taken. The client adds and
// cancels, the worker takes from the front; one mutex guards both.

#include <cstdint>
#include <deque>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include <QByteArray>
#include <QString>
#include <QVariantList>

#include "quennet/bus/bus_client.h"
#include "quennet/commands/call_guard.h"
#include "quennet/commands/dispatch.h"
#include "quennet/link/encryption.h"
#include "quennet/link/frame.h"
#include "quennet/link/link_engine.h"
#include "quennet/link/serial_line.h"

namespace quennet::bus_detail {

// The link set-up a request was sent under: later changes apply to later requests only.
struct LinkSettings {
  Checksum_Type checksumType = CHKSM_16BIT;
  bool commsEcho = false;
  bool encryption = false;
  KeyDigits keyDigits{};
  std::int32_t hopperCode = CommandSet::kDefaultHopperCode;
  int repeatGuardMs = LinkEngine::kRepeatGuardMs;
  CallGuardSettings guard{0, CallGuardSettings{}.busyPauseMs, kDefaultResetWaitMs};
  std::map<std::uint8_t, DeviceLink> devices;  // framings of their own, by address
};

// What opening the port needs, and where the worker answers.
struct OpenOrder {
  QString portName;
  std::uint64_t session = 0;
  std::shared_ptr<std::promise<LineError>> done;  // number 0: the port is open
  LinkSettings settings;                          // for the echo detection
  std::optional<std::uint8_t> detectEchoAt;       // poll this device to learn the echo
  std::optional<bool> echoFound;                  // what it found, set before `done`
};

struct BusJob {
  std::uint64_t id = 0;
  bool urgent = false;
  LinkSettings settings;
  std::uint8_t address = 0;
  // Raw frame when method is null, else the method by name with its inputs (Device excluded).
  std::uint8_t header = 0;
  QByteArray data;
  const MethodInfo* method = nullptr;
  QVariantList inputs;
  std::shared_ptr<OpenOrder> open;  // set for an opening order instead of a request
  // Set for a call from another thread (BusClient::call): answered through this, on the thread
  // that ends the job, instead of through a BusReply in the client's thread.
  BusClient::Completion done;
};

class BusQueue {
 public:
  // Urgent jobs go behind the urgent ones already waiting, ahead of every ordinary one.
  void add(BusJob job) {
    std::lock_guard lock(mutex_);
    auto at = jobs_.end();
    if (job.urgent) {
      at = jobs_.begin();
      while (at != jobs_.end() && at->urgent) ++at;
    }
    jobs_.insert(at, std::move(job));
  }
  std::optional<BusJob> take() {
    std::lock_guard lock(mutex_);
    if (jobs_.empty()) return std::nullopt;
    BusJob job = std::move(jobs_.front());
    jobs_.pop_front();
    return job;
  }
  // Takes the request `id` back while it still waits: true when it was here, and is gone.
  bool withdraw(std::uint64_t id) {
    std::lock_guard lock(mutex_);
    for (auto at = jobs_.begin(); at != jobs_.end(); ++at) {
      if (!at->open && at->id == id) {
        jobs_.erase(at);
        return true;
      }
    }
    return false;
  }
  // Removes every request (opening orders stay) and returns them, oldest first.
  std::vector<BusJob> cancelRequests() {
    std::lock_guard lock(mutex_);
    std::vector<BusJob> cancelled;
    std::deque<BusJob> kept;
    for (BusJob& job : jobs_) {
      if (job.open) {
        kept.push_back(std::move(job));
      } else {
        cancelled.push_back(std::move(job));
      }
    }
    jobs_.swap(kept);
    return cancelled;
  }

 private:
  std::mutex mutex_;
  std::deque<BusJob> jobs_;
};

}  // namespace quennet::bus_detail
