#include "bnvsim/fault_plan.h"

namespace bnvsim {

FaultPlan::FaultPlan() : random_(std::random_device{}()) {}

bool FaultPlan::inject(Fault fault, int count) {
  if (count < 0 || count > kMaxQueuedFaults - static_cast<int>(queued_.size())) return false;
  queued_.insert(queued_.end(), static_cast<std::size_t>(count), fault);
  return true;
}

void FaultPlan::clear(Fault fault) {
  std::erase(queued_, fault);
  probability_[static_cast<std::size_t>(fault)] = 0;
}

void FaultPlan::clear() {
  queued_.clear();
  probability_.fill(0);
}

std::array<int, kFaultKinds> FaultPlan::queuedCounts() const {
  std::array<int, kFaultKinds> counts{};
  for (Fault fault : queued_) ++counts[static_cast<std::size_t>(fault)];
  return counts;
}

void FaultPlan::setProbability(Fault fault, double probability) {
  probability_[static_cast<std::size_t>(fault)] = probability;
}

bool FaultPlan::draw(Fault fault) {
  const double p = probability_[static_cast<std::size_t>(fault)];
  return p > 0 && std::uniform_real_distribution<double>(0, 1)(random_) < p;
}

bool FaultPlan::takeMissingEcho() {
  if (!queued_.empty() && queued_.front() == Fault::NoEcho) {
    queued_.pop_front();
    return true;
  }
  return draw(Fault::NoEcho);
}

std::optional<Fault> FaultPlan::takeReplyFault() {
  if (!queued_.empty() && queued_.front() != Fault::NoEcho) {
    const Fault fault = queued_.front();
    queued_.pop_front();
    return fault;
  }
  for (int kind = 0; kind < kFaultKinds; ++kind) {
    const auto fault = static_cast<Fault>(kind);
    if (fault != Fault::NoEcho && draw(fault)) return fault;
  }
  return std::nullopt;
}

}  // namespace bnvsim
