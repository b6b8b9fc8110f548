#include "tools/stop_signal.h"

namespace quennet::cli {

StopSignal::Subscription::~Subscription() {
  if (signal_) signal_->listeners_.erase(id_);
}

StopSignal::Subscription StopSignal::listen(StopSignal* signal, Listener listener) {
  if (!signal) return Subscription(nullptr, 0);
  if (signal->fired()) {
    listener();
    return Subscription(nullptr, 0);
  }
  const int id = signal->nextId_++;
  signal->listeners_.emplace(id, std::move(listener));
  return Subscription(signal, id);
}

void StopSignal::fire(int exitStatus) {
  if (fired()) return;
  exitStatus_ = exitStatus;
  // A listener may end a wait whose owner then drops its subscription: run from a copy.
  const auto listeners = listeners_;
  for (const auto& [id, listener] : listeners) listener();
}

}  // namespace quennet::cli
