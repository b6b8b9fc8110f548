#pragma once
// The half of a BusClient that lives on its worker thread: it owns the command set and the serial
// line (created here, so the port's notifiers belong to this thread) and runs one job at a time.

#include <cstdint>
#include <memory>

#include <QObject>

#include "quennet/bus/bus_queue_p.h"
#include "quennet/bus/bus_reply.h"
#include "quennet/commands/command_set.h"

namespace quennet {
class BusClient;
}

namespace quennet::bus_detail {

class BusWorker : public QObject {
 public:
  BusWorker(std::shared_ptr<BusQueue> queue, BusClient* client);
  ~BusWorker() override;

  // From any thread, after a call was queued to this worker: a wait on the line in progress (or
  // the next one) runs the queued calls at once, as the thread's event loop would run them later.
  void wake() const;

  // Runs queued jobs until the queue is empty. A wait inside a job runs this thread's event loop,
  // which may deliver another call of pump(): that one returns at once, so jobs never nest.
  void pump();
  // Closes the port of `session` now, also in the middle of a job: the job's wait ends and it
  // fails with 5. A port opened since (a later session) stays open.
  void closePort(std::uint64_t session);
  // Closes the port, releases it in this thread once no job runs, and ends the thread's loop.
  void stop();

 private:
  void run(BusJob& job);
  void open(OpenOrder& order);
  BusResult request(const BusJob& job);
  BusResult invoke(const BusJob& job);
  // The bus's set-up, then the framing of the device at `address` where it has one of its own.
  void applySettings(const LinkSettings& settings, std::optional<std::uint8_t> address = {});
  // The frames and status of the job's transaction, as reportCall() tells them; `deviceCommand`
  // is false for a method that never asks a device.
  void addFrames(BusResult& result, bool deviceCommand) const;
  void finishStop();

  std::shared_ptr<BusQueue> queue_;
  BusClient* client_;
  CommandSet set_;
  CallGuard guard_;  // which devices were reset, across requests
  int wakeFd_ = -1;  // an eventfd that wake() writes to and the line's waits watch
  std::uint64_t session_ = 0;
  bool lineFailed_ = false;  // the port of this session failed; it is as good as closed
  bool running_ = false;
  bool stopping_ = false;
};

}  // namespace quennet::bus_detail
