// Identification and status commands: no data bytes, one reply each.
#include <array>

#include "quennet/commands/command_set.h"
#include "quennet/commands/date_code.h"
#include "quennet/commands/reply_renderings.h"

namespace quennet {

std::int16_t CommandSet::SendPoll(std::uint8_t Device, QString& strResponse) {
  return textCommand(Device, SIMPLE_POLL, strResponse);
}

std::int16_t CommandSet::GetBuildCode(std::uint8_t Device, QString& strResponse) {
  return textCommand(Device, GET_BUILD_CODE, strResponse);
}

std::int16_t CommandSet::GetProductCode(std::uint8_t Device, QString& strResponse) {
  return textCommand(Device, GET_PROD_CODE, strResponse);
}

std::int16_t CommandSet::GetManfctrID(std::uint8_t Device, QString& strResponse) {
  return textCommand(Device, GET_MNFCTR_ID, strResponse);
}

std::int16_t CommandSet::GetEqptID(std::uint8_t Device, QString& strResponse) {
  return textCommand(Device, GET_EQPT_ID, strResponse);
}

std::int16_t CommandSet::GetSerialNo(std::uint8_t Device, QString& strResponse) {
  std::array<std::uint8_t, 3> bytes{};
  const std::int16_t result = bytesCommand(Device, GET_SERIAL_NO, bytes);
  strResponse = serialNumberText(bytes);
  return result;
}

std::int16_t CommandSet::GetCommsRevn(std::uint8_t Device, QString& strResponse) {
  return textCommand(Device, GET_COMMS_REVN, strResponse);
}

std::int16_t CommandSet::GetCodeRevn(std::uint8_t Device, QString& strResponse) {
  return textCommand(Device, GET_CODE_REVN, strResponse);
}

std::int16_t CommandSet::GetCommsStatus(std::uint8_t Device, std::span<std::uint8_t> Rx_Errors) {
  return bytesCommand(Device, GET_COMMS_VARS, Rx_Errors);
}

std::int16_t CommandSet::ClearCommsStatus(std::uint8_t Device, QString& strResponse) {
  return textCommand(Device, CLEAR_COMMS_VARS, strResponse);
}

std::int16_t CommandSet::ResetDevice(std::uint8_t Device, QString& strResponse) {
  return textCommand(Device, RESET_DEVICE, strResponse);
}

std::int16_t CommandSet::GetROMChksum(std::uint8_t Device, QString& Checksum) {
  std::array<std::uint8_t, 4> bytes{};
  const std::int16_t result = bytesCommand(Device, GET_ROM_CHKSUM, bytes);
  Checksum += romChecksumText(bytes);
  return result;
}

std::int16_t CommandSet::GetAddrMode(std::uint8_t Device, std::span<std::uint8_t> AddrMode) {
  return bytesCommand(Device, GET_ADDRESS_MODE, AddrMode);
}

std::int16_t CommandSet::GetOptionFlags(std::uint8_t Device, std::uint8_t& FeatureMask) {
  std::array<std::uint8_t, 1> bytes{};
  const std::int16_t result = bytesCommand(Device, GET_OPTION_FLAGS, bytes);
  FeatureMask = bytes[0];
  return result;
}

std::int16_t CommandSet::GetVariableSet(std::uint8_t Device, std::span<std::uint8_t> Variables) {
  return bytesCommand(Device, GET_VARIABLE_SET, Variables);
}

std::int16_t CommandSet::GetPollPriority(std::uint8_t Device, std::span<std::uint8_t> PollingRate) {
  return bytesCommand(Device, GET_POLL_PRIORITY, PollingRate);
}

std::int16_t CommandSet::GetBaseYear(std::uint8_t Device, QString& BaseYear) {
  return textCommand(Device, GET_BASE_YEAR, BaseYear);
}

std::int16_t CommandSet::GetCreationDate(std::uint8_t Device, QString& CreationDate) {
  std::array<std::uint8_t, 2> bytes{};
  const std::int16_t result = bytesCommand(Device, GET_CREATION_DATE, bytes);
  CreationDate =
      result == kResultOk ? FormatDateCode(bytes[0], bytes[1]) : QStringLiteral("Unknown");
  return result;
}

std::int16_t CommandSet::GetDataStoreAvblty(std::uint8_t Device,
                                            std::span<std::uint8_t> StoreMask) {
  return bytesCommand(Device, GET_DATA_STR_AVBL, StoreMask);
}

std::int16_t CommandSet::GetFirmwareUpgrdCpblty(std::uint8_t Device,
                                                std::span<std::uint8_t> UpgradeMask) {
  return bytesCommand(Device, GET_FIRMWARE_UPG, UpgradeMask);
}

std::int16_t CommandSet::GetCurrencyRevn(std::uint8_t Device, QString& Revision) {
  return textCommand(Device, GET_CURRENCY_REV, Revision);
}

}  // namespace quennet
