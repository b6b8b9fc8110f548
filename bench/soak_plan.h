#pragma once
// What the fault soak sends and what it accepts back: valid inputs for every method of the
// dispatch table, and for each injected fault the result codes that classify it correctly.

#include <cstdint>
#include <optional>
#include <random>

#include <QString>
#include <QVariantList>

#include "bnvsim/simulator.h"
#include "quennet/commands/dispatch.h"
#include "quennet/link/protocol_events.h"

namespace soak {

// The simulator's reply faults, plus the pseudo-terminal closed under the open port.
enum class Kind {
  Clean,
  Silent,
  Busy,
  Nak,
  BadCrc,
  Truncated,
  Noise,
  Late,
  NoEcho,
  LineDrop,
  BusyThenAnswer,
  EchoNoise,
  EchoHost,
  WrongLength,
};
inline constexpr int kKinds = 14;

const char* kindName(Kind kind);
// The simulator fault that produces `kind`; none for Clean and LineDrop.
std::optional<bnvsim::Fault> simulatorFault(Kind kind);

using quennet::kCoinAcceptorAddress;
using quennet::kHopperAddress;
using quennet::kValidatorAddress;

// The address of the device on the soak's bus that answers `method`.
std::uint8_t deviceFor(const QString& method);
// Inputs in range for every parameter, chosen at random; the validator keeps its address.
QVariantList inputsFor(const quennet::MethodInfo& method, std::mt19937& random);
// Whether `out` is what the host must report when `kind` spoiled the exchange.
bool classifiedRight(Kind kind, const quennet::MethodInfo& method,
                     const quennet::InvokeResult& out);

}  // namespace soak
