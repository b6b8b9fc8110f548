#pragma once
// The ccTalk command methods: each fills CommandBuffer, runs one transaction and decodes the
// reply into its outputs. Names are those of the control's type library.
//
// Every method returns a ResultCode. A method that asks for data fails (result 3, "Reply Too
// Short [...]") on an ACK, a NAK or a reply with fewer data bytes than the command defines.
// Text outputs and caller arrays change only on result 0;
// outputs taken from a buffer of the method's own (serial number, ROM checksum, flags, counters,
// creation date) are written whatever the result. While the port is closed every method except
// ModifyBillID returns 5 without traffic, after its own argument checks.

#include <cstdint>
#include <span>

#include <QString>
#include <QVariant>

#include "quennet/commands/cctalk_codes.h"
#include "quennet/link/link_engine.h"

namespace quennet {

class QUENNET_EXPORT CommandSet : public LinkEngine {
 public:
  // Three-byte code a hopper expects with every dispense, sent least significant byte first.
  static constexpr std::int32_t kDefaultHopperCode = 15263748;
  std::int32_t hopperCode() const { return hopperCode_; }
  void setHopperCode(std::int32_t code) { hopperCode_ = code; }

  // Identification and status.
  std::int16_t SendPoll(std::uint8_t Device, QString& strResponse);
  std::int16_t GetBuildCode(std::uint8_t Device, QString& strResponse);
  std::int16_t GetProductCode(std::uint8_t Device, QString& strResponse);
  std::int16_t GetManfctrID(std::uint8_t Device, QString& strResponse);
  std::int16_t GetEqptID(std::uint8_t Device, QString& strResponse);
  // Seven or more decimal digits, first reply byte most significant.
  std::int16_t GetSerialNo(std::uint8_t Device, QString& strResponse);
  std::int16_t GetCommsRevn(std::uint8_t Device, QString& strResponse);
  std::int16_t GetCodeRevn(std::uint8_t Device, QString& strResponse);
  std::int16_t GetCommsStatus(std::uint8_t Device, std::span<std::uint8_t> Rx_Errors);
  std::int16_t ClearCommsStatus(std::uint8_t Device, QString& strResponse);
  std::int16_t ResetDevice(std::uint8_t Device, QString& strResponse);
  // Appends the four bytes in hexadecimal to what Checksum already holds.
  std::int16_t GetROMChksum(std::uint8_t Device, QString& Checksum);
  std::int16_t GetAddrMode(std::uint8_t Device, std::span<std::uint8_t> AddrMode);
  std::int16_t GetOptionFlags(std::uint8_t Device, std::uint8_t& FeatureMask);
  std::int16_t GetVariableSet(std::uint8_t Device, std::span<std::uint8_t> Variables);
  std::int16_t GetPollPriority(std::uint8_t Device, std::span<std::uint8_t> PollingRate);
  std::int16_t GetBaseYear(std::uint8_t Device, QString& BaseYear);
  // "dd/mm/yy", or "Unknown" when the call fails.
  std::int16_t GetCreationDate(std::uint8_t Device, QString& CreationDate);
  std::int16_t GetDataStoreAvblty(std::uint8_t Device, std::span<std::uint8_t> StoreMask);
  std::int16_t GetFirmwareUpgrdCpblty(std::uint8_t Device, std::span<std::uint8_t> UpgradeMask);
  std::int16_t GetCurrencyRevn(std::uint8_t Device, QString& Revision);

  // Bill validator.
  std::int16_t GetEventBuffer(std::uint8_t Device, std::span<std::uint8_t> bytBuffer);
  std::int16_t GetCoinBuffer(std::uint8_t Device, std::span<std::uint8_t> bytBuffer);
  std::int16_t GetMasterInhibit(std::uint8_t Device, std::uint8_t& Status);
  std::int16_t SetMasterInhibit(std::uint8_t Device, std::uint8_t Status, QString& Response);
  std::int16_t GetInhibitStatus(std::uint8_t Device, std::span<std::uint8_t> Response);
  // Throws QuennetError 9 when Inhibits holds fewer than two bytes.
  std::int16_t SetInhibitStatus(std::uint8_t Device, std::span<const std::uint8_t> Inhibits,
                                QString& Response);
  // Accept 0 returns, 1 stacks, 255 holds the note in escrow.
  std::int16_t RouteBill(std::uint8_t Device, std::uint8_t Accept, QString& Response);
  std::int16_t ReadFeedbag(std::uint8_t Device, std::span<std::uint8_t> Response);
  std::int16_t RequestBillID(std::uint8_t Device, std::uint8_t NoteNo, QString& Response);
  // Throws QuennetError 9 when Country has fewer than two characters, and 5 when one of the two
  // is not printable ASCII (it could not be sent as it reads).
  std::int16_t RequestScaleFactor(std::uint8_t Device, const QString& Country,
                                  std::span<std::uint8_t> ScaleData);
  // Sends nothing and returns 0, whatever the port state.
  std::int16_t ModifyBillID();
  std::int16_t RequestBillPosition(std::uint8_t Device, const QString& Country,
                                   std::span<std::uint8_t> NoteData);
  std::int16_t SetBillOperatingMode(std::uint8_t Device, std::uint8_t NewMode, QString& Response);
  std::int16_t ReadBillOperatingMode(std::uint8_t Device, std::span<std::uint8_t> BillMode);
  std::int16_t ModifyBillScty(std::uint8_t Device, std::uint8_t NoteNo, std::uint8_t Security,
                              QString& Response);
  std::int16_t RequestBillScty(std::uint8_t Device, std::uint8_t NoteNo,
                               std::span<std::uint8_t> Security);
  std::int16_t GetAcceptCntr(std::uint8_t Device, std::int32_t& AcceptCount);
  std::int16_t GetInsertnCntr(std::uint8_t Device, std::int32_t& InsertCount);
  std::int16_t GetErrorCounter(std::uint8_t Device, std::uint8_t ErrorNo, std::int32_t& ErrorCount);
  // The result code as a qint32 variant; no note-number guard.
  QVariant GetIndNoteCounter(std::uint8_t Device, std::uint8_t NoteNo, std::int32_t& AcceptCount);
  // Waits up to 8000 ms for its own reply.
  std::int16_t CycleStacker(std::uint8_t Device, QString& Response);
  std::int16_t ReadOptos(std::uint8_t Device, std::span<std::uint8_t> bytBuffer);
  // Sends MotorFlags[0..2]; throws QuennetError 9 when the array is shorter.
  std::int16_t OperateMotors(std::uint8_t Device, std::span<const std::uint8_t> MotorFlags,
                             QString& Response);
  // Fewer than three key bytes: result 6 and "NACK", nothing sent.
  std::int16_t ChangeKey(std::uint8_t Device, std::span<const std::uint8_t> NewKey,
                         QString& Response);
  std::int16_t SaveKey(std::uint8_t Device, QString& Response);
  std::int16_t RunSelfTest(std::uint8_t Device, std::span<std::uint8_t> TestResult);
  std::int16_t ReadInputLines(std::uint8_t Device, std::span<std::uint8_t> InputStatus);

  // Bus addressing, hopper and coin.
  // Broadcasts; every byte that arrives within 1200 ms (or the first twelve) lands in Address.
  // More than Address holds: it is filled to its end and the result is 3, "Reply Overflow [n]";
  // an array of kCollectAllMost bytes holds everything.
  std::int16_t AddressPoll(std::span<std::uint8_t> Address);
  std::int16_t AddressClash(std::span<std::uint8_t> Address);
  std::int16_t AddressChange(std::uint8_t Device, std::uint8_t Address, QString& Response);
  std::int16_t AddressRandom(std::uint8_t Device, QString& Response);
  std::int16_t Test_Hopper(std::uint8_t Device, std::span<std::uint8_t> Status);
  // Throws QuennetError 6 when hopperCode() lies outside 0..16777215.
  std::int16_t Dispense_Coins(std::uint8_t Device, std::uint8_t No_Coins, QString& Response);
  std::int16_t Get_Hopper_Status(std::uint8_t Device, std::span<std::uint8_t> Status);
  std::int16_t Enable_Hopper(std::uint8_t Device, QString& Response);
  // The result code as a qint32 variant.
  QVariant Disable_Hopper(std::uint8_t Device, QString& Response);
  std::int16_t Hopper_Stop(std::uint8_t Device, QString& Response);
  std::int16_t Get_Hopper_Count(std::uint8_t Device, std::int32_t& DispenseCount);
  std::int16_t RequestCoinID(std::uint8_t Device, std::uint8_t NoteNo, QString& Response);

 private:
  // The reply's length and wait come from the header's row of the protocol table: a byte reply
  // must carry the row's least data bytes.
  std::int16_t textCommand(std::uint8_t Device, cctalk_Codes header, QString& response,
                           std::span<const std::uint8_t> data = {});
  std::int16_t bytesCommand(std::uint8_t Device, cctalk_Codes header, std::span<std::uint8_t> reply,
                            std::span<const std::uint8_t> data = {});
  // Three-byte audit counter, least significant byte first; 0 when the call fails.
  std::int16_t counterCommand(std::uint8_t Device, cctalk_Codes header, std::int32_t& count,
                              std::span<const std::uint8_t> data = {});
  std::int16_t countryCommand(std::uint8_t Device, cctalk_Codes header, const QString& Country,
                              std::span<std::uint8_t> reply);

  std::int32_t hopperCode_ = kDefaultHopperCode;
};

}  // namespace quennet
