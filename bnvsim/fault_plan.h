#pragma once
// Which replies to spoil: faults queued for the next replies, and faults drawn by probability.

#include <array>
#include <deque>
#include <optional>
#include <random>

#include "bnvsim/simulator.h"

namespace bnvsim {

class FaultPlan {
 public:
  FaultPlan();
  // False, queuing nothing, when kMaxQueuedFaults would be exceeded.
  bool inject(Fault fault, int count);
  void setProbability(Fault fault, double probability);
  void clear(Fault fault);
  void clear();
  std::array<int, kFaultKinds> queuedCounts() const;
  std::array<double, kFaultKinds> probabilities() const { return probability_; }
  // Asked as a frame starts: whether its echo is left out (NoEcho) or changed (EchoNoise,
  // EchoHost).
  std::optional<Fault> takeEchoFault();
  // Asked for each reply a device is about to give.
  std::optional<Fault> takeReplyFault();
  std::mt19937& random() { return random_; }

 private:
  bool draw(Fault fault);

  std::deque<Fault> queued_;
  std::array<double, kFaultKinds> probability_{};
  std::mt19937 random_;
};

}  // namespace bnvsim
