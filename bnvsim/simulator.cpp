#include "bnvsim/simulator.h"

namespace bnvsim {

struct Simulator::Impl {
  SimulatorOptions options;
};

Simulator::Simulator(SimulatorOptions options) : impl_(std::make_unique<Impl>()) {
  impl_->options = std::move(options);
}
Simulator::~Simulator() { stop(); }
bool Simulator::start(QString* error) {
  if (error) *error = QStringLiteral("not ready");
  return false;
}
void Simulator::stop() {}
QString Simulator::slavePath() const { return {}; }
void Simulator::insertNote(int) {}
void Simulator::removeCashBox() {}
void Simulator::insertCashBox() {}
void Simulator::jam() {}
void Simulator::cheat() {}
void Simulator::stackerFull() {}
void Simulator::reset() {}
void Simulator::injectFault(Fault, int) {}
void Simulator::setFaultProbability(Fault, double) {}
void Simulator::setLineOptions(const LineOptions&) {}
int Simulator::validatorAddress() const { return impl_->options.validatorAddress; }
std::array<std::uint8_t, 2> Simulator::inhibitMask() const { return {}; }
std::uint8_t Simulator::masterInhibit() const { return 0; }
std::uint8_t Simulator::billMode() const { return 0; }
bool Simulator::noteInEscrow() const { return false; }
int Simulator::framesReceived() const { return 0; }

}  // namespace bnvsim
