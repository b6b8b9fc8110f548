// Bank note validator commands: events, inhibits, routing, note data, counters, diagnostics and
// the key commands of the encryption layer.
#include <array>

#include "quennet/commands/command_set.h"
#include "quennet/link/protocol.h"
#include "quennet/link/protocol_events.h"
#include "quennet/link/quennet_error.h"

namespace quennet {

namespace {

// Note numbers above this are refused before anything is sent.
constexpr std::uint8_t kHighestNoteNumber = kPositionCount;
// One-byte route replies a validator uses instead of an ACK.
constexpr char16_t kRouteNoNote = kRouteEscrowEmpty;
constexpr char16_t kRouteRefused = kRouteFailed;

}  // namespace

std::int16_t CommandSet::GetEventBuffer(std::uint8_t Device, std::span<std::uint8_t> bytBuffer) {
  return bytesCommand(Device, GET_EVENT_BUFFER, bytBuffer);
}

std::int16_t CommandSet::GetCoinBuffer(std::uint8_t Device, std::span<std::uint8_t> bytBuffer) {
  return bytesCommand(Device, GET_COIN_BUFFER, bytBuffer);
}

std::int16_t CommandSet::GetMasterInhibit(std::uint8_t Device, std::uint8_t& Status) {
  std::array<std::uint8_t, 1> bytes{};
  const std::int16_t result = bytesCommand(Device, GET_MASTER_INHIBIT, bytes);
  Status = bytes[0];
  return result;
}

std::int16_t CommandSet::SetMasterInhibit(std::uint8_t Device, std::uint8_t Status,
                                          QString& Response) {
  const std::array<std::uint8_t, 1> data = {Status};
  return textCommand(Device, SET_MASTER_INHIBIT, Response, data);
}

std::int16_t CommandSet::GetInhibitStatus(std::uint8_t Device, std::span<std::uint8_t> Response) {
  return bytesCommand(Device, GET_INHIBIT_STATUS, Response);
}

std::int16_t CommandSet::SetInhibitStatus(std::uint8_t Device,
                                          std::span<const std::uint8_t> Inhibits,
                                          QString& Response) {
  if (Inhibits.size() < 2) {
    throw QuennetError(kErrSubscriptOutOfRange, QStringLiteral("The inhibit mask needs two bytes"));
  }
  return textCommand(Device, SET_INHIBIT_STATUS, Response, Inhibits.first(2));
}

std::int16_t CommandSet::RouteBill(std::uint8_t Device, std::uint8_t Accept, QString& Response) {
  const std::array<std::uint8_t, 1> data = {Accept};
  const std::int16_t result = textCommand(Device, ROUTE_BILL, Response, data);
  if (Response == QString(QChar(kRouteNoNote))) {
    Response = QLatin1String(kRouteNoNoteText);
  } else if (Response == QString(QChar(kRouteRefused))) {
    Response = QLatin1String(kRouteRefusedText);
  }
  return result;
}

std::int16_t CommandSet::ReadFeedbag(std::uint8_t Device, std::span<std::uint8_t> Response) {
  return bytesCommand(Device, READ_FEEDBAG, Response);
}

std::int16_t CommandSet::RequestBillID(std::uint8_t Device, std::uint8_t NoteNo,
                                       QString& Response) {
  if (NoteNo > kHighestNoteNumber) return kResultNoteNumber;
  const std::array<std::uint8_t, 1> data = {NoteNo};
  return textCommand(Device, REQUEST_BILL_ID, Response, data);
}

std::int16_t CommandSet::RequestScaleFactor(std::uint8_t Device, const QString& Country,
                                            std::span<std::uint8_t> ScaleData) {
  return countryCommand(Device, REQUEST_CNTRY_SCALE, Country, ScaleData);
}

std::int16_t CommandSet::ModifyBillID() {
  return kResultOk;
}

std::int16_t CommandSet::RequestBillPosition(std::uint8_t Device, const QString& Country,
                                             std::span<std::uint8_t> NoteData) {
  return countryCommand(Device, REQUEST_BILL_POSN, Country, NoteData);
}

std::int16_t CommandSet::SetBillOperatingMode(std::uint8_t Device, std::uint8_t NewMode,
                                              QString& Response) {
  const std::array<std::uint8_t, 1> data = {NewMode};
  return textCommand(Device, MODIFY_BILL_MODE, Response, data);
}

std::int16_t CommandSet::ReadBillOperatingMode(std::uint8_t Device,
                                               std::span<std::uint8_t> BillMode) {
  return bytesCommand(Device, READ_BILL_MODE, BillMode);
}

std::int16_t CommandSet::ModifyBillScty(std::uint8_t Device, std::uint8_t NoteNo,
                                        std::uint8_t Security, QString& Response) {
  if (NoteNo > kHighestNoteNumber) return kResultNoteNumber;
  const std::array<std::uint8_t, 2> data = {NoteNo, Security};
  return textCommand(Device, MODIFY_BILL_SCTY, Response, data);
}

std::int16_t CommandSet::RequestBillScty(std::uint8_t Device, std::uint8_t NoteNo,
                                         std::span<std::uint8_t> Security) {
  if (NoteNo > kHighestNoteNumber) return kResultNoteNumber;
  const std::array<std::uint8_t, 1> data = {NoteNo};
  return bytesCommand(Device, REQUEST_BILL_SCTY, Security, data);
}

std::int16_t CommandSet::GetAcceptCntr(std::uint8_t Device, std::int32_t& AcceptCount) {
  return counterCommand(Device, GET_ACCEPTANCE_CNTR, AcceptCount);
}

std::int16_t CommandSet::GetInsertnCntr(std::uint8_t Device, std::int32_t& InsertCount) {
  return counterCommand(Device, GET_INSERTION_CNTR, InsertCount);
}

std::int16_t CommandSet::GetErrorCounter(std::uint8_t Device, std::uint8_t ErrorNo,
                                         std::int32_t& ErrorCount) {
  const std::array<std::uint8_t, 1> data = {ErrorNo};
  return counterCommand(Device, ERROR_COUNTER, ErrorCount, data);
}

QVariant CommandSet::GetIndNoteCounter(std::uint8_t Device, std::uint8_t NoteNo,
                                       std::int32_t& AcceptCount) {
  const std::array<std::uint8_t, 1> data = {NoteNo};
  return QVariant::fromValue<qint32>(counterCommand(Device, INDVDL_NOTE_COUNT, AcceptCount, data));
}

std::int16_t CommandSet::CycleStacker(std::uint8_t Device, QString& Response) {
  // A full stacker stroke takes seconds: the protocol table gives this header the long wait.
  return textCommand(Device, CYCLE_STACK, Response);
}

std::int16_t CommandSet::ReadOptos(std::uint8_t Device, std::span<std::uint8_t> bytBuffer) {
  return bytesCommand(Device, READ_OPTOS, bytBuffer);
}

std::int16_t CommandSet::OperateMotors(std::uint8_t Device,
                                       std::span<const std::uint8_t> MotorFlags,
                                       QString& Response) {
  if (MotorFlags.size() < 3) {
    throw QuennetError(kErrSubscriptOutOfRange,
                       QStringLiteral("The motor flags need the elements 0 to 2"));
  }
  return textCommand(Device, RUN_MOTORS, Response, MotorFlags.first(3));
}

std::int16_t CommandSet::ChangeKey(std::uint8_t Device, std::span<const std::uint8_t> NewKey,
                                   QString& Response) {
  if (NewKey.size() < 3) {
    Response = QLatin1String(kNakText);
    return kResultKeyTooShort;
  }
  // The reply still travels under the old key; the caller switches keys afterwards.
  return textCommand(Device, CHANGE_ENC_KEY, Response, NewKey.first(3));
}

std::int16_t CommandSet::SaveKey(std::uint8_t Device, QString& Response) {
  return textCommand(Device, SAVE_ENC_KEY, Response);
}

std::int16_t CommandSet::RunSelfTest(std::uint8_t Device, std::span<std::uint8_t> TestResult) {
  // The fault code, then an extra byte some faults add.
  return bytesCommand(Device, RUN_SELF_TEST, TestResult);
}

std::int16_t CommandSet::ReadInputLines(std::uint8_t Device, std::span<std::uint8_t> InputStatus) {
  return bytesCommand(Device, READ_INPUT_LINES, InputStatus);
}

}  // namespace quennet
