#include "bench/soak_plan.h"

#include <array>

#include "quennet/link/link_engine.h"

namespace soak {

namespace {

int pick(std::mt19937& random, int low, int high) {
  return std::uniform_int_distribution<int>(low, high)(random);
}

QVariantList randomBytes(std::mt19937& random, int count, int high) {
  QVariantList bytes;
  for (int i = 0; i < count; ++i) bytes.append(pick(random, 0, high));
  return bytes;
}

QVariant inputFor(const QString& method, const quennet::ParamInfo& param, std::mt19937& random) {
  const QString& name = param.name;
  if (name == u"Device") return deviceFor(method);
  // Moving the validator would leave the rest of the soak talking to an empty address.
  if (name == u"Address") return kValidatorAddress;
  // Positions that hold a note: the validator refuses a security request for its unused 15th and
  // 16th with a NAK, a failure where data was asked, not the fault being soaked.
  if (name == u"NoteNo") return pick(random, 1, 14);
  if (name == u"Status" || name == u"Style") return pick(random, 0, 1);
  if (name == u"NewMode") return pick(random, 0, 3);
  if (name == u"No_Coins") return pick(random, 1, 5);
  if (name == u"Accept") return std::array{0, 1, 255}[static_cast<std::size_t>(pick(random, 0, 2))];
  if (name == u"Country")
    return std::array{"GB", "EU", "US"}[static_cast<std::size_t>(pick(random, 0, 2))];
  if (name == u"Inhibits") return randomBytes(random, 2, 255);
  if (name == u"MotorFlags") return randomBytes(random, 3, 1);
  if (name == u"NewKey") return randomBytes(random, 3, 255);
  return pick(random, 0, 255);
}

// Text outputs rendered from reply bytes rather than taken from the reply as characters.
bool renderedFromBytes(const QString& method) {
  return method == u"GetSerialNo" || method == u"GetROMChksum" || method == u"GetCreationDate";
}

// A NAK answers a text command as the text "NACK"; to a command that asks for data it is a
// failure ("Reply Too Short [NACK]"), never a 0 with invented data.
bool answeredNack(const quennet::MethodInfo& method, const quennet::InvokeResult& out) {
  bool textReply = false;
  for (const quennet::ParamInfo& p : method.outputs()) {
    textReply = textReply || p.type == quennet::ParamType::Text;
  }
  if (!textReply || renderedFromBytes(method.name)) return out.result == quennet::kResultChecksum;
  if (out.result != quennet::kResultOk) return false;
  for (const quennet::ParamInfo& p : method.outputs()) {
    if (p.type == quennet::ParamType::Text && out.outputs.value(p.name) != QStringLiteral("NACK")) {
      return false;
    }
  }
  return true;
}

}  // namespace

const char* kindName(Kind kind) {
  static constexpr std::array<const char*, kKinds> names = {"none",
                                                            "silent",
                                                            "BUSY",
                                                            "NAK",
                                                            "bad CRC",
                                                            "truncated",
                                                            "noise",
                                                            "late reply",
                                                            "missing echo",
                                                            "pty closed and reopened",
                                                            "BUSY, then the answer",
                                                            "0x01, then a changed echo",
                                                            "echo whose first byte reads 0x01",
                                                            "reply of the wrong length"};
  return names[static_cast<std::size_t>(kind)];
}

std::optional<bnvsim::Fault> simulatorFault(Kind kind) {
  switch (kind) {
    case Kind::Silent:
      return bnvsim::Fault::Silent;
    case Kind::Busy:
      return bnvsim::Fault::Busy;
    case Kind::Nak:
      return bnvsim::Fault::Nak;
    case Kind::BadCrc:
      return bnvsim::Fault::BadCrc;
    case Kind::Truncated:
      return bnvsim::Fault::Truncated;
    case Kind::Noise:
      return bnvsim::Fault::Noise;
    case Kind::Late:
      return bnvsim::Fault::Late;
    case Kind::NoEcho:
      return bnvsim::Fault::NoEcho;
    case Kind::BusyThenAnswer:
      return bnvsim::Fault::BusyThenAnswer;
    case Kind::EchoNoise:
      return bnvsim::Fault::EchoNoise;
    case Kind::EchoHost:
      return bnvsim::Fault::EchoHost;
    case Kind::WrongLength:
      return bnvsim::Fault::WrongLength;
    case Kind::Clean:
    case Kind::LineDrop:
      break;
  }
  return std::nullopt;
}

std::uint8_t deviceFor(const QString& method) {
  if (method.contains(u"Hopper") || method == u"Dispense_Coins") return kHopperAddress;
  if (method == u"RequestCoinID" || method == u"GetCoinBuffer") return kCoinAcceptorAddress;
  return kValidatorAddress;
}

QVariantList inputsFor(const quennet::MethodInfo& method, std::mt19937& random) {
  QVariantList inputs;
  for (const quennet::ParamInfo& p : method.inputs())
    inputs.append(inputFor(method.name, p, random));
  return inputs;
}

bool classifiedRight(Kind kind, const quennet::MethodInfo& method,
                     const quennet::InvokeResult& out) {
  using namespace quennet;
  switch (kind) {
    case Kind::Clean:
      return out.result == kResultOk;
    case Kind::Silent:
    case Kind::Truncated:
    case Kind::Late:
      return out.result == kResultTimeout;
    case Kind::Busy:
    case Kind::BusyThenAnswer:
      return out.result == kResultBusy;
    // A changed echo, whatever its first byte, is an echo error; so is a reply of another length
    // than every reply to the command carries (the soak gives that fault to those only).
    case Kind::EchoNoise:
    case Kind::EchoHost:
    case Kind::WrongLength:
      return out.result == kResultChecksum;
    case Kind::Nak:
      return answeredNack(method, out);
    case Kind::BadCrc:
      return out.result == kResultChecksum;
    // Stray bytes ahead of the reply are skipped and the reply after them read; only a stray
    // byte equal to the host's address starts a frame of its own, whose checksum then fails.
    case Kind::Noise:
      return out.result == kResultOk || out.result == kResultChecksum;
    // A reply where the echo should be is the reply, taken as such ("no echo on this line");
    // the loose answers to an address poll or clash read as a changed echo (result 3).
    case Kind::NoEcho:
      return out.result == kResultOk || (!method.hasDevice() && out.result == kResultChecksum);
    case Kind::LineDrop:
      return out.result == kResultNotEnabled;
  }
  return false;
}

}  // namespace soak
