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

#include "quennet/link/cctalk_codes.h"
#include "quennet/link/link_engine.h"

namespace quennet {

/// RouteBill's Response when the validator holds no note in escrow (its reply 254).
inline constexpr char kRouteNoNoteText[] = "No Note in Escrow";
/// RouteBill's Response when the validator cannot route the note (its reply 255).
inline constexpr char kRouteRefusedText[] = "Cannot Route Note";

/// A stacker cycle refused, as the bus, the C interface and Python name it: the stacker is full or
/// jammed (its reply 254), or none is fitted (255). CycleStacker itself gives the byte as a
/// character.
inline constexpr char kStackerFaultText[] = "Stacker Full or Jammed";
inline constexpr char kStackerNotFittedText[] = "No Stacker Fitted";

/// The ccTalk command methods, one per command: each fills CommandBuffer, runs one transaction and
/// decodes the reply into its outputs. Every method returns a ResultCode.
class QUENNET_EXPORT CommandSet : public LinkEngine {
 public:
  /// Three-byte code a hopper expects with every dispense, sent least significant byte first.
  ///@{
  static constexpr std::int32_t kDefaultHopperCode = 15263748;
  /// The largest code three bytes hold.
  static constexpr std::int32_t kLargestHopperCode = 0xFFFFFF;
  std::int32_t hopperCode() const { return hopperCode_; }
  void setHopperCode(std::int32_t code) { hopperCode_ = code; }
  ///@}

  // Identification and status.
  /// Simple poll (header 254).
  std::int16_t SendPoll(std::uint8_t Device, QString& strResponse);
  /// Request build code (header 192).
  std::int16_t GetBuildCode(std::uint8_t Device, QString& strResponse);
  /// Request product code (header 244).
  std::int16_t GetProductCode(std::uint8_t Device, QString& strResponse);
  /// Request manufacturer id (header 246).
  std::int16_t GetManfctrID(std::uint8_t Device, QString& strResponse);
  /// Request equipment category id (header 245).
  std::int16_t GetEqptID(std::uint8_t Device, QString& strResponse);
  /// Request serial number (header 242).
  /// Seven or more decimal digits, first reply byte most significant.
  std::int16_t GetSerialNo(std::uint8_t Device, QString& strResponse);
  /// Request comms revision (header 4).
  std::int16_t GetCommsRevn(std::uint8_t Device, QString& strResponse);
  /// Request software revision (header 241).
  std::int16_t GetCodeRevn(std::uint8_t Device, QString& strResponse);
  /// Request comms status variables (header 2).
  std::int16_t GetCommsStatus(std::uint8_t Device, std::span<std::uint8_t> Rx_Errors);
  /// Clear comms status variables (header 3).
  std::int16_t ClearCommsStatus(std::uint8_t Device, QString& strResponse);
  /// Reset device (header 1).
  std::int16_t ResetDevice(std::uint8_t Device, QString& strResponse);
  /// Calculate ROM checksum (header 197).
  /// Appends the four bytes in hexadecimal to what Checksum already holds.
  std::int16_t GetROMChksum(std::uint8_t Device, QString& Checksum);
  /// Request address mode (header 169).
  std::int16_t GetAddrMode(std::uint8_t Device, std::span<std::uint8_t> AddrMode);
  /// Request option flags (header 213).
  std::int16_t GetOptionFlags(std::uint8_t Device, std::uint8_t& FeatureMask);
  /// Request variable set (header 247).
  std::int16_t GetVariableSet(std::uint8_t Device, std::span<std::uint8_t> Variables);
  /// Request polling priority (header 249).
  std::int16_t GetPollPriority(std::uint8_t Device, std::span<std::uint8_t> PollingRate);
  /// Request base year (header 170).
  std::int16_t GetBaseYear(std::uint8_t Device, QString& BaseYear);
  /// Request creation date (header 196).
  /// "dd/mm/yy", or "Unknown" when the call fails.
  std::int16_t GetCreationDate(std::uint8_t Device, QString& CreationDate);
  /// Request data storage availability (header 216).
  std::int16_t GetDataStoreAvblty(std::uint8_t Device, std::span<std::uint8_t> StoreMask);
  /// Request firmware upgrade capability (header 141).
  std::int16_t GetFirmwareUpgrdCpblty(std::uint8_t Device, std::span<std::uint8_t> UpgradeMask);
  /// Request currency revision (header 145).
  std::int16_t GetCurrencyRevn(std::uint8_t Device, QString& Revision);

  // Bill validator.
  /// Read buffered bill events (header 159).
  std::int16_t GetEventBuffer(std::uint8_t Device, std::span<std::uint8_t> bytBuffer);
  /// Read buffered credit or error codes (header 229).
  std::int16_t GetCoinBuffer(std::uint8_t Device, std::span<std::uint8_t> bytBuffer);
  /// Request master inhibit status (header 227).
  std::int16_t GetMasterInhibit(std::uint8_t Device, std::uint8_t& Status);
  /// Modify master inhibit status (header 228).
  std::int16_t SetMasterInhibit(std::uint8_t Device, std::uint8_t Status, QString& Response);
  /// Request inhibit status (header 230).
  std::int16_t GetInhibitStatus(std::uint8_t Device, std::span<std::uint8_t> Response);
  /// Modify inhibit status (header 231).
  /// Throws QuennetError 9 when Inhibits holds fewer than two bytes.
  std::int16_t SetInhibitStatus(std::uint8_t Device, std::span<const std::uint8_t> Inhibits,
                                QString& Response);
  /// Route bill (header 154).
  /// Accept 0 returns, 1 stacks, 255 holds the note in escrow. Response is "ACK", "NACK", or
  /// kRouteNoNoteText / kRouteRefusedText for the validator's one-byte refusals (254, 255).
  std::int16_t RouteBill(std::uint8_t Device, std::uint8_t Accept, QString& Response);
  /// Factory set-up and test (header 255).
  std::int16_t ReadFeedbag(std::uint8_t Device, std::span<std::uint8_t> Response);
  /// Request bill id (header 157).
  std::int16_t RequestBillID(std::uint8_t Device, std::uint8_t NoteNo, QString& Response);
  /// Request country scaling factor (header 156).
  /// Throws QuennetError 9 when Country has fewer than two characters, and 5 when one of the two
  /// is not printable ASCII (it could not be sent as it reads).
  std::int16_t RequestScaleFactor(std::uint8_t Device, const QString& Country,
                                  std::span<std::uint8_t> ScaleData);
  /// Sends nothing and returns 0, whatever the port state.
  std::int16_t ModifyBillID();
  /// Request bill position (header 155).
  std::int16_t RequestBillPosition(std::uint8_t Device, const QString& Country,
                                   std::span<std::uint8_t> NoteData);
  /// Modify bill operating mode (header 153).
  std::int16_t SetBillOperatingMode(std::uint8_t Device, std::uint8_t NewMode, QString& Response);
  /// Request bill operating mode (header 152).
  std::int16_t ReadBillOperatingMode(std::uint8_t Device, std::span<std::uint8_t> BillMode);
  /// Modify security setting (header 181).
  std::int16_t ModifyBillScty(std::uint8_t Device, std::uint8_t NoteNo, std::uint8_t Security,
                              QString& Response);
  /// Request security setting (header 180).
  std::int16_t RequestBillScty(std::uint8_t Device, std::uint8_t NoteNo,
                               std::span<std::uint8_t> Security);
  /// Request accept counter (header 225).
  std::int16_t GetAcceptCntr(std::uint8_t Device, std::int32_t& AcceptCount);
  /// Request insertion counter (header 226).
  std::int16_t GetInsertnCntr(std::uint8_t Device, std::int32_t& InsertCount);
  /// Request individual error counter (header 149).
  std::int16_t GetErrorCounter(std::uint8_t Device, std::uint8_t ErrorNo, std::int32_t& ErrorCount);
  /// Request individual accept counter (header 150).
  /// The result code as a qint32 variant; no note-number guard.
  QVariant GetIndNoteCounter(std::uint8_t Device, std::uint8_t NoteNo, std::int32_t& AcceptCount);
  /// Perform stacker cycle (header 147).
  /// Waits up to 8000 ms for its own reply.
  std::int16_t CycleStacker(std::uint8_t Device, QString& Response);
  /// Read opto voltages (header 148).
  std::int16_t ReadOptos(std::uint8_t Device, std::span<std::uint8_t> bytBuffer);
  /// Operate bi-directional motors (header 146).
  /// Sends MotorFlags[0..2]; throws QuennetError 9 when the array is shorter.
  std::int16_t OperateMotors(std::uint8_t Device, std::span<const std::uint8_t> MotorFlags,
                             QString& Response);
  /// Switch encryption code (header 137).
  /// Fewer than three key bytes: result 6 and "NACK", nothing sent.
  std::int16_t ChangeKey(std::uint8_t Device, std::span<const std::uint8_t> NewKey,
                         QString& Response);
  /// Store encryption code (header 136).
  std::int16_t SaveKey(std::uint8_t Device, QString& Response);
  /// Perform self-check (header 232).
  std::int16_t RunSelfTest(std::uint8_t Device, std::span<std::uint8_t> TestResult);
  /// Read input lines (header 237).
  std::int16_t ReadInputLines(std::uint8_t Device, std::span<std::uint8_t> InputStatus);

  // Bus addressing, hopper and coin.
  /// Address poll (header 253).
  /// Broadcasts; every byte that arrives within 1200 ms (or the first twelve) lands in Address.
  /// More than Address holds: it is filled to its end and the result is 3, "Reply Overflow [n]";
  /// an array of kCollectAllMost bytes holds everything.
  std::int16_t AddressPoll(std::span<std::uint8_t> Address);
  /// Address clash (header 252).
  std::int16_t AddressClash(std::span<std::uint8_t> Address);
  /// Address change (header 251).
  std::int16_t AddressChange(std::uint8_t Device, std::uint8_t Address, QString& Response);
  /// Address random (header 250).
  std::int16_t AddressRandom(std::uint8_t Device, QString& Response);
  /// Test hopper (header 163).
  std::int16_t Test_Hopper(std::uint8_t Device, std::span<std::uint8_t> Status);
  /// Dispense hopper coins (header 167).
  /// Throws QuennetError 6 when hopperCode() lies outside 0..16777215.
  std::int16_t Dispense_Coins(std::uint8_t Device, std::uint8_t No_Coins, QString& Response);
  /// Request hopper status (header 166).
  std::int16_t Get_Hopper_Status(std::uint8_t Device, std::span<std::uint8_t> Status);
  /// Enable hopper (header 164).
  std::int16_t Enable_Hopper(std::uint8_t Device, QString& Response);
  /// Enable hopper (header 164).
  /// The result code as a qint32 variant.
  QVariant Disable_Hopper(std::uint8_t Device, QString& Response);
  /// Emergency stop (header 172).
  std::int16_t Hopper_Stop(std::uint8_t Device, QString& Response);
  /// Request hopper dispense count (header 168).
  std::int16_t Get_Hopper_Count(std::uint8_t Device, std::int32_t& DispenseCount);
  /// Request coin id (header 184) of coin position NoteNo; above 16: result 4, nothing sent.
  std::int16_t RequestCoinID(std::uint8_t Device, std::uint8_t NoteNo, QString& Response);

 private:
  /// The reply's length and wait come from the header's row of the protocol table: a byte reply
  /// must carry the row's least data bytes.
  std::int16_t textCommand(std::uint8_t Device, cctalk_Codes header, QString& response,
                           std::span<const std::uint8_t> data = {});
  std::int16_t bytesCommand(std::uint8_t Device, cctalk_Codes header, std::span<std::uint8_t> reply,
                            std::span<const std::uint8_t> data = {});
  /// Three-byte audit counter, least significant byte first; 0 when the call fails.
  std::int16_t counterCommand(std::uint8_t Device, cctalk_Codes header, std::int32_t& count,
                              std::span<const std::uint8_t> data = {});
  std::int16_t countryCommand(std::uint8_t Device, cctalk_Codes header, const QString& Country,
                              std::span<std::uint8_t> reply);

  std::int32_t hopperCode_ = kDefaultHopperCode;
};

}  // namespace quennet
