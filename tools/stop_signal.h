#pragma once
// A request to stop: SIGINT or SIGTERM in the `quennet` program, or a test. Whoever waits
// listens for it, so a wait in progress ends at once instead of running out its time-out.

#include <functional>
#include <map>

namespace quennet::cli {

class StopSignal {
 public:
  using Listener = std::function<void()>;

  // Keeps a listener registered for as long as it lives.
  class Subscription {
   public:
    Subscription(StopSignal* signal, int id) : signal_(signal), id_(id) {}
    ~Subscription();
    Subscription(const Subscription&) = delete;
    Subscription& operator=(const Subscription&) = delete;

   private:
    StopSignal* signal_;
    int id_;
  };

  // `listener` runs once when the stop fires, at once if it already has. A null signal (no
  // stop wired up) keeps nothing.
  [[nodiscard]] static Subscription listen(StopSignal* signal, Listener listener);

  // Records the exit status the program ends with and tells every listener.
  void fire(int exitStatus);
  bool fired() const { return exitStatus_ != 0; }
  int exitStatus() const { return exitStatus_; }

  // Where a signal that has arrived but not yet been told waits (the program's signal pipe,
  // read by its event loop): work that runs without the event loop asks check() instead of
  // fired(), which takes such a signal first.
  void setPendingSource(std::function<void()> take) { takePending_ = std::move(take); }
  bool check() {
    if (takePending_ && !fired()) takePending_();
    return fired();
  }

 private:
  std::function<void()> takePending_;
  std::map<int, Listener> listeners_;
  int nextId_ = 1;
  int exitStatus_ = 0;
};

}  // namespace quennet::cli
