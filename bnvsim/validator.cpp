#include "bnvsim/validator.h"

#include <algorithm>
#include <string>
#include <utility>

#include "quennet/link/cctalk_codes.h"
#include "quennet/link/encryption.h"

namespace bnvsim {

namespace {

constexpr std::uint8_t kPerNoteCounterFlag = 4;

Identity validatorIdentity() {
  return Identity{.equipmentCategory = "Bill Validator",
                  .manufacturer = "QNT",
                  .productCode = "QBV1",
                  .buildCode = "QBV16-EU",
                  .softwareRevision = "QBV16 v1.0.00",
                  .serialNumber = 1234567,
                  .addressMode = 0x06};  // RAM and EEPROM
}

// 15 March of the 24th year after the base year: day, month and year bits of the date code.
constexpr std::uint16_t kCreationDateCode = (24U << 9) | (3U << 5) | 15U;

std::string country(std::span<const std::uint8_t> data) {
  return std::string(data.begin(), data.end());
}

}  // namespace

Validator::Validator(int address, bool stackerFitted)
    : Device(address, validatorIdentity()), stackerFitted_(stackerFitted) {}

// The stacker bit says whether notes are stacked or drop straight into the cash box; either
// way an accepted note is taken, so only the cash box decides.
bool Validator::canTake() const {
  return cashBoxIn_ && !full_;
}

void Validator::raise(BillStatus status) {
  const auto code = static_cast<std::uint8_t>(status);
  events_.add(0, code);
  ++errorCounts_[code];
}

void Validator::hold(int position) {
  escrow_ = position;
  escrowExpiresMs_.reset();
  if (escrowHoldMs_ > 0) escrowExpiresMs_ = nowMs_ + escrowHoldMs_;
}

void Validator::releaseEscrow() {
  escrow_ = 0;
  escrowExpiresMs_.reset();
}

void Validator::advance(double nowMs) {
  nowMs_ = std::max(nowMs_, nowMs);
  if (escrow_ == 0 || !escrowExpiresMs_ || nowMs_ < *escrowExpiresMs_) return;
  // The host never routed it: the note goes back to the customer.
  releaseEscrow();
  raise(BillStatus::Returned);
}

void Validator::stack(int position) {
  ++accepted_;
  ++perNote_[static_cast<std::size_t>(position - 1)];
  if (std::exchange(brownOut_, false)) return onReset();
  events_.add(static_cast<std::uint8_t>(position), quennet::kNoteStacked);
}

Insertion Validator::refuse(BillStatus status) {
  raise(status);
  return {Insertion::Returned, static_cast<std::uint8_t>(status)};
}

Insertion Validator::insertNote(int position) {
  if (escrow_ != 0) return {};  // the bezel is blocked while a note is held
  ++inserted_;
  if (!noteDefined(position)) return refuse(BillStatus::NotRecognised);
  if (!inhibits_.masterOpen()) return refuse(BillStatus::MasterInhibit);
  if (!inhibits_.enabled(position)) return refuse(BillStatus::Inhibited);
  if (!cashBoxIn_) return refuse(BillStatus::CashBoxRemoved);
  if (full_) return refuse(BillStatus::StackerFull);
  if ((billMode_ & quennet::kBillModeEscrow) != 0) {
    hold(position);
    events_.add(static_cast<std::uint8_t>(position), quennet::kNoteInEscrow);
    return {Insertion::Held};
  }
  stack(position);
  return {Insertion::Stacked};
}

void Validator::removeCashBox() {
  cashBoxIn_ = false;
  raise(BillStatus::CashBoxRemoved);
}

void Validator::insertCashBox() {
  cashBoxIn_ = true;
  full_ = false;  // a cash box goes back in emptied
  raise(BillStatus::CashBoxInserted);
}

void Validator::jam() {
  releaseEscrow();  // the held note is stuck in the transport, no longer in escrow
  raise(BillStatus::JammedInValidator);
}

void Validator::cheat() {
  raise(BillStatus::PulledBackwards);
}

void Validator::stackerFull() {
  full_ = true;
  raise(BillStatus::StackerFull);
}

void Validator::onReset() {
  // A held note goes back to the customer without an event: the buffer restarts empty at 0.
  events_.clear();
  releaseEscrow();
  inhibits_ = Inhibits{};
  billMode_ = kPowerUpBillMode;
  motors_ = {};
}

Reply Validator::route(std::span<const std::uint8_t> data) {
  if (data.size() != 1) return Reply::nak();
  if (escrow_ == 0) return Reply::bytes({quennet::kRouteEscrowEmpty});
  switch (data[0]) {
    case quennet::kRouteStack:
      if (!canTake()) return Reply::bytes({quennet::kRouteFailed});
      stack(escrow_);
      releaseEscrow();
      return Reply::ack();
    case quennet::kRouteReturn:
      releaseEscrow();
      raise(BillStatus::Returned);
      return Reply::ack();
    case quennet::kRouteHold:
      hold(escrow_);  // the hold time starts again
      return Reply::ack();
    default:
      return Reply::nak();
  }
}

Reply Validator::cycleStacker() const {
  if (!stackerFitted_) return Reply::bytes({quennet::kStackerNotFitted});
  if (!cashBoxIn_ || full_) return Reply::bytes({quennet::kStackerFault});
  Reply reply = Reply::ack();
  reply.delayMs = kStackerCycleMs;
  return reply;
}

std::uint8_t Validator::optoStates() const {
  // bit 0 note in the escrow path, bit 1 cash box present, bit 2 cash box full, bit 3 motor on
  return static_cast<std::uint8_t>((escrow_ != 0 ? 1U : 0U) | (cashBoxIn_ ? 2U : 0U) |
                                   (full_ ? 4U : 0U) | (motors_[0] != 0 ? 8U : 0U));
}

std::optional<Reply> Validator::answer(std::uint8_t header, std::span<const std::uint8_t> data) {
  const auto note = [&] { return data.empty() ? 0 : static_cast<int>(data[0]); };
  switch (header) {
    case quennet::GET_EVENT_BUFFER:
      return Reply::bytes(events_.replyBytes());
    case quennet::ROUTE_BILL:
      return route(data);
    case quennet::REQUEST_BILL_ID:
      if (data.size() != 1 || note() < 1 || note() > kNotePositions) return Reply::nak();
      return Reply::text(noteId(note()));
    case quennet::REQUEST_CNTRY_SCALE: {
      if (data.size() != 2) return Reply::nak();
      const auto scaling = countryScaling(country(data), scaling_);
      return Reply::bytes({scaling.begin(), scaling.end()});
    }
    case quennet::REQUEST_BILL_POSN: {
      if (data.size() != 2) return Reply::nak();
      const auto mask = countryPositions(country(data));
      return Reply::bytes({mask[0], mask[1]});
    }
    case quennet::READ_BILL_MODE:
      return Reply::bytes({billMode_});
    case quennet::MODIFY_BILL_MODE:
      if (data.size() != 1) return Reply::nak();
      billMode_ = data[0] & (quennet::kBillModeStacker | quennet::kBillModeEscrow);
      return Reply::ack();
    case quennet::REQUEST_BILL_SCTY:
      if (data.size() != 1 || !noteDefined(note())) return Reply::nak();
      return Reply::bytes({security_[static_cast<std::size_t>(note() - 1)]});
    case quennet::MODIFY_BILL_SCTY:
      if (data.size() != 2 || !noteDefined(note())) return Reply::nak();
      security_[static_cast<std::size_t>(note() - 1)] = data[1];
      return Reply::ack();
    case quennet::GET_ACCEPTANCE_CNTR:
      return Reply::bytes(counterBytes(accepted_));
    case quennet::GET_INSERTION_CNTR:
      return Reply::bytes(counterBytes(inserted_));
    case quennet::ERROR_COUNTER:
      if (data.size() != 1) return Reply::nak();
      return Reply::bytes(counterBytes(errorCounts_[data[0]]));
    case quennet::INDVDL_NOTE_COUNT:
      if (data.size() != 1) return Reply::nak();
      return Reply::bytes(counterBytes(note() >= 1 && note() <= kNotePositions
                                           ? perNote_[static_cast<std::size_t>(note() - 1)]
                                           : 0));
    case quennet::CYCLE_STACK:
      return cycleStacker();
    case quennet::READ_OPTOS:
      return Reply::bytes({optoStates()});
    case quennet::RUN_MOTORS:
      if (data.size() != 3) return Reply::nak();
      motors_ = {data[0], data[1], data[2]};
      return Reply::ack();
    case quennet::CHANGE_ENC_KEY: {
      if (data.size() != 3) return Reply::nak();
      Reply reply = Reply::ack();
      reply.newKeyCode = quennet::keyCodeFromBytes(data);
      return reply;
    }
    case quennet::SAVE_ENC_KEY:
      return Reply::ack();
    case quennet::RUN_SELF_TEST:
      if (selfTestFault_ == 0) return Reply::bytes({0});
      // A fault code is followed by the extra information byte real units add.
      return Reply::bytes({selfTestFault_, 0});
    case quennet::READ_INPUT_LINES:
      return Reply::bytes({0});
    case quennet::READ_FEEDBAG:
      // Sensor calibration levels of the note path, as a factory read-out shows them.
      return Reply::bytes({0x80, 0x7C, 0x83, 0x7F, 0x81, 0x7E, 0x80, 0x82});
    case quennet::GET_OPTION_FLAGS:
      return Reply::bytes({kPerNoteCounterFlag});
    case quennet::GET_VARIABLE_SET:
      return Reply::bytes({kNotePositions, 1});
    case quennet::GET_POLL_PRIORITY:
      return Reply::bytes({2, 20});  // 20 x 10 ms
    case quennet::GET_BASE_YEAR:
      return Reply::text("2000");
    case quennet::GET_CREATION_DATE:
      return Reply::bytes({static_cast<std::uint8_t>(kCreationDateCode & 0xFF),
                           static_cast<std::uint8_t>(kCreationDateCode >> 8)});
    case quennet::GET_ROM_CHKSUM:
      return Reply::bytes({0x3C, 0x0A, 0x00, 0xE7});
    case quennet::GET_DATA_STR_AVBL:
      return Reply::bytes({0, 0, 0, 0, 0});  // no user data store
    case quennet::GET_FIRMWARE_UPG:
      return Reply::bytes({0});
    case quennet::GET_CURRENCY_REV:
      return Reply::text("C01");
    default:
      return inhibits_.answer(header, data);
  }
}

}  // namespace bnvsim
