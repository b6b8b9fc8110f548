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

namespace {

bool echoFault(Fault fault) {
  return fault == Fault::NoEcho || fault == Fault::EchoNoise || fault == Fault::EchoHost;
}

}  // namespace

std::optional<Fault> FaultPlan::takeEchoFault() {
  if (!queued_.empty() && echoFault(queued_.front())) {
    const Fault fault = queued_.front();
    queued_.pop_front();
    return fault;
  }
  for (const Fault fault : {Fault::NoEcho, Fault::EchoNoise, Fault::EchoHost}) {
    if (draw(fault)) return fault;
  }
  return std::nullopt;
}

std::optional<Fault> FaultPlan::takeReplyFault() {
  if (!queued_.empty() && !echoFault(queued_.front())) {
    const Fault fault = queued_.front();
    queued_.pop_front();
    return fault;
  }
  for (int kind = 0; kind < kFaultKinds; ++kind) {
    const auto fault = static_cast<Fault>(kind);
    if (!echoFault(fault) && draw(fault)) return fault;
  }
  return std::nullopt;
}

}  // namespace bnvsim
