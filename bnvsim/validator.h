#pragma once
// The bank note validator: note table, inhibits, escrow, event buffer, counters and diagnostics.
// It powers up as a real unit does: every note and the master inhibit closed, stacker and escrow
// in use, so a host enables it before notes are accepted.

#include <array>
#include <cstdint>

#include "bnvsim/device.h"
#include "bnvsim/event_log.h"
#include "bnvsim/inhibits.h"
#include "bnvsim/note_table.h"
#include "bnvsim/simulator.h"
#include "quennet/link/protocol_events.h"

namespace bnvsim {

using quennet::BillStatus;

inline constexpr std::uint8_t kPowerUpBillMode =
    quennet::kBillModeStacker | quennet::kBillModeEscrow;
inline constexpr int kStackerCycleMs = 1000;

class Validator : public Device {
 public:
  Validator(int address, bool stackerFitted);

  Insertion insertNote(int position);
  void removeCashBox();
  void insertCashBox();
  void jam();
  void cheat();
  void stackerFull();
  // The next note stacked goes into the cash box, and the validator resets (the stacker motor's
  // current dip) before its stacked event is written.
  void brownOutOnStack() { brownOut_ = true; }
  // 0 holds a note until the host routes it.
  void setEscrowHoldMs(int ms) { escrowHoldMs_ = ms; }
  void setScaling(const Scaling& scaling) { scaling_ = scaling; }
  void advance(double nowMs) override;
  std::optional<double> deadline() const override { return escrowExpiresMs_; }
  // The fault code the next self tests report; 0 means no fault.
  void setSelfTestFault(std::uint8_t code) { selfTestFault_ = code; }
  std::uint8_t selfTestFault() const { return selfTestFault_; }

  std::array<std::uint8_t, 2> inhibitMask() const { return inhibits_.mask(); }
  std::uint8_t masterInhibit() const { return inhibits_.master(); }
  std::uint8_t billMode() const { return billMode_; }
  int escrowNote() const { return escrow_; }
  std::uint8_t eventCounter() const { return events_.counter(); }
  // Notes stacked, by position - 1.
  const std::array<std::uint32_t, kNotePositions>& stacked() const { return perNote_; }

 protected:
  std::optional<Reply> answer(std::uint8_t header, std::span<const std::uint8_t> data) override;
  void onReset() override;

 private:
  bool canTake() const;
  void stack(int position);
  void raise(BillStatus status);
  Insertion refuse(BillStatus status);
  void hold(int position);
  void releaseEscrow();
  Reply route(std::span<const std::uint8_t> data);
  Reply cycleStacker() const;
  std::uint8_t optoStates() const;

  bool stackerFitted_;
  bool cashBoxIn_ = true;
  bool full_ = false;
  bool brownOut_ = false;
  Inhibits inhibits_;
  std::uint8_t billMode_ = kPowerUpBillMode;
  int escrow_ = 0;
  int escrowHoldMs_ = kDefaultEscrowHoldMs;
  Scaling scaling_;
  double nowMs_ = 0;
  std::optional<double> escrowExpiresMs_;
  EventLog events_;
  std::array<std::uint8_t, kNotePositions> security_{};
  std::array<std::uint8_t, 3> motors_{};
  std::uint8_t selfTestFault_ = 0;
  std::uint32_t inserted_ = 0;
  std::uint32_t accepted_ = 0;
  std::array<std::uint32_t, kNotePositions> perNote_{};
  std::array<std::uint32_t, 256> errorCounts_{};
};

}  // namespace bnvsim
