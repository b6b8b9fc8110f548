// Bus addressing, hopper and coin commands.
#include <array>

#include "quennet/commands/command_set.h"
#include "quennet/link/protocol.h"
#include "quennet/link/protocol_events.h"
#include "quennet/link/quennet_error.h"

namespace quennet {

namespace {

constexpr std::uint8_t kHighestCoinNumber = kPositionCount;
// The enable header's data byte: this value enables, anything else disables.
constexpr std::uint8_t kHopperEnableValue = 165;
constexpr std::uint8_t kHopperDisableValue = 0;

}  // namespace

std::int16_t CommandSet::AddressPoll(std::span<std::uint8_t> Address) {
  // The engine collects the loose one-byte answers for this header.
  return bytesCommand(kBroadcastAddress, ADDRESS_POLL, Address);
}

std::int16_t CommandSet::AddressClash(std::span<std::uint8_t> Address) {
  return bytesCommand(kBroadcastAddress, ADDRESS_CLASH, Address);
}

std::int16_t CommandSet::AddressChange(std::uint8_t Device, std::uint8_t Address,
                                       QString& Response) {
  const std::array<std::uint8_t, 1> data = {Address};
  return textCommand(Device, ADDRESS_CHANGE, Response, data);
}

std::int16_t CommandSet::AddressRandom(std::uint8_t Device, QString& Response) {
  return textCommand(Device, ADDRESS_RANDOM, Response);
}

std::int16_t CommandSet::Test_Hopper(std::uint8_t Device, std::span<std::uint8_t> Status) {
  // One to three status register bytes, depending on the hopper.
  return bytesCommand(Device, HOPPER_TEST, Status);
}

std::int16_t CommandSet::Dispense_Coins(std::uint8_t Device, std::uint8_t No_Coins,
                                        QString& Response) {
  if (hopperCode_ < 0 || hopperCode_ > kLargestHopperCode) {
    throw QuennetError(kErrOverflow, QStringLiteral("The hopper code does not fit three bytes"));
  }
  const auto code = static_cast<std::uint32_t>(hopperCode_);
  const std::array<std::uint8_t, 4> data = {static_cast<std::uint8_t>(code & 0xFF),
                                            static_cast<std::uint8_t>((code >> 8) & 0xFF),
                                            static_cast<std::uint8_t>(code >> 16), No_Coins};
  return textCommand(Device, HOPPER_DISPENSE_COINS, Response, data);
}

std::int16_t CommandSet::Get_Hopper_Status(std::uint8_t Device, std::span<std::uint8_t> Status) {
  return bytesCommand(Device, HOPPER_STATUS, Status);
}

std::int16_t CommandSet::Enable_Hopper(std::uint8_t Device, QString& Response) {
  const std::array<std::uint8_t, 1> data = {kHopperEnableValue};
  return textCommand(Device, HOPPER_ENABLE, Response, data);
}

QVariant CommandSet::Disable_Hopper(std::uint8_t Device, QString& Response) {
  const std::array<std::uint8_t, 1> data = {kHopperDisableValue};
  return QVariant::fromValue<qint32>(textCommand(Device, HOPPER_ENABLE, Response, data));
}

std::int16_t CommandSet::Hopper_Stop(std::uint8_t Device, QString& Response) {
  // The enum reserves its own header for the emergency stop; no data byte goes with it.
  return textCommand(Device, STOP_HOPPER, Response);
}

std::int16_t CommandSet::Get_Hopper_Count(std::uint8_t Device, std::int32_t& DispenseCount) {
  return counterCommand(Device, HOPPER_DISPENSE_COUNT, DispenseCount);
}

std::int16_t CommandSet::RequestCoinID(std::uint8_t Device, std::uint8_t NoteNo,
                                       QString& Response) {
  if (NoteNo > kHighestCoinNumber) return kResultNoteNumber;
  const std::array<std::uint8_t, 1> data = {NoteNo};
  return textCommand(Device, Request_Coin_ID, Response, data);
}

}  // namespace quennet
