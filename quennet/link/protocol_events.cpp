#include "quennet/link/protocol_events.h"

#include <algorithm>
#include <array>

namespace quennet {

namespace {

constexpr StatusCode bill(BillStatus status, const char* name, EventKind kind = EventKind::Status,
                          bool leaves = false) {
  return {static_cast<std::uint8_t>(status), name, kind, leaves};
}

constexpr StatusCode coin(CoinStatus status, const char* name, EventKind kind) {
  return {static_cast<std::uint8_t>(status), name, kind, false};
}

constexpr EventKind kFault = EventKind::Fault;

constexpr auto kBillStatus = std::to_array<StatusCode>({
    bill(BillStatus::MasterInhibit, "Note Refused: Master Inhibit"),
    bill(BillStatus::Returned, "Note Returned", EventKind::Status, true),
    bill(BillStatus::NotRecognised, "Note Not Recognised"),
    bill(BillStatus::TransportProblem, "Note Transport Problem"),
    bill(BillStatus::Inhibited, "Note Inhibited"),
    bill(BillStatus::InhibitedBySwitches, "Note Inhibited by Switches"),
    bill(BillStatus::JammedInValidator, "Note Jammed in Validator", kFault, true),
    bill(BillStatus::JammedInStacker, "Note Jammed in Stacker", kFault, true),
    bill(BillStatus::PulledBackwards, "Note Pulled Backwards", kFault),
    bill(BillStatus::CheatSuspected, "Note Cheat Suspected", kFault),
    bill(BillStatus::StackerOk, "Stacker OK"),
    bill(BillStatus::CashBoxRemoved, "Cash Box Removed"),
    bill(BillStatus::CashBoxInserted, "Cash Box Inserted"),
    bill(BillStatus::StackerJammed, "Stacker Jammed", kFault),
    bill(BillStatus::StackerFull, "Stacker Full", kFault),
    bill(BillStatus::StackerJam, "Stacker Jam", kFault),
    bill(BillStatus::JammedInTransportSafe, "Note Jammed in Transport", kFault, true),
    bill(BillStatus::OptoFraud, "Opto Fraud Detected", kFault),
    bill(BillStatus::AntiStringGate, "Anti String Gate Activated", kFault),
    bill(BillStatus::AntiStringFaulty, "Anti String Mechanism Faulty", kFault),
    bill(BillStatus::Barcode, "Barcode Detected"),
    bill(BillStatus::UnknownNoteStacked, "Unknown Note Stacked"),
});

// A coin acceptor's error codes, by the names of the public ccTalk table. A coin refused as
// unknown, inhibited or put in too soon after another is news; a sensor that timed out or is
// blocked, and every sign of fraud, need a person.
constexpr StatusCode coinCode(std::uint8_t code, const char* name, EventKind kind) {
  return {code, name, kind, false};
}

constexpr EventKind kNews = EventKind::Status;

constexpr auto kCoinStatus = std::to_array<StatusCode>({
    coin(CoinStatus::None, "No Error", kNews),
    coin(CoinStatus::Rejected, "Coin Rejected", kNews),
    coin(CoinStatus::Inhibited, "Coin Inhibited", kNews),
    coinCode(3, "Coin Rejected: Multiple Window", kNews),
    coinCode(4, "Wake-up Timeout", kFault),
    coinCode(5, "Validation Timeout", kFault),
    coinCode(6, "Credit Sensor Timeout", kFault),
    coinCode(7, "Sorter Opto Timeout", kFault),
    coinCode(8, "Coin Rejected: 2nd Close Coin", kNews),
    coinCode(9, "Coin Rejected: Accept Gate Not Ready", kNews),
    coinCode(10, "Coin Rejected: Credit Sensor Not Ready", kNews),
    coinCode(11, "Coin Rejected: Sorter Not Ready", kNews),
    coinCode(12, "Coin Rejected: Reject Coin Not Cleared", kNews),
    coinCode(13, "Validation Sensor Not Ready", kFault),
    coinCode(14, "Credit Sensor Blocked", kFault),
    coinCode(15, "Sorter Opto Blocked", kFault),
    coinCode(16, "Credit Sequence Error", kFault),
    coinCode(17, "Coin Going Backwards", kFault),
    coinCode(18, "Coin Too Fast (Credit Sensor)", kFault),
    coinCode(19, "Coin Too Slow (Credit Sensor)", kFault),
    coinCode(20, "Coin on String Mechanism Activated", kFault),
    coinCode(21, "DCE Opto Timeout", kFault),
    coinCode(22, "DCE Opto Not Seen", kFault),
    coinCode(23, "Credit Sensor Reached Too Early", kFault),
    coinCode(24, "Coin Rejected: Repeated Sequential Trip", kFault),
    coinCode(25, "Slug Rejected", kFault),
    coinCode(26, "Reject Sensor Blocked", kFault),
    coinCode(27, "Games Overload", kFault),
    coinCode(28, "Maximum Coin Meter Pulses Exceeded", kFault),
    coinCode(29, "Accept Gate Open Not Closed", kFault),
    coinCode(30, "Accept Gate Closed Not Open", kFault),
    coinCode(31, "Manifold Opto Timeout", kFault),
    coinCode(32, "Manifold Opto Blocked", kFault),
    coinCode(33, "Coin Rejected: Manifold Not Ready", kNews),
    coinCode(34, "Security Status Changed", kFault),
    coinCode(35, "Motor Exception", kFault),
    coinCode(36, "Swallowed Coin", kFault),
    coinCode(37, "Coin Too Fast (Validation Sensor)", kFault),
    coinCode(38, "Coin Too Slow (Validation Sensor)", kFault),
    coinCode(39, "Coin Incorrectly Sorted", kFault),
    coinCode(40, "External Light Attack", kFault),
    coinCode(253, "Data Block Request", kNews),
    coinCode(254, "Coin Return Mechanism Activated", kNews),
    coinCode(255, "Unspecified Alarm", kFault),
});

struct FaultName {
  std::uint8_t code;
  const char* name;
};

// The self-test faults a bank note validator reports.
constexpr auto kSelfTestFaults = std::to_array<FaultName>({
    {1, "EEPROM checksum error"},
    {36, "Fault on Bill Validation Sensor"},
    {37, "Fault on Bill Transport Motor"},
    {38, "Fault on Stacker"},
    {39, "Bill Jammed"},
    {40, "RAM Test Fail"},
    {41, "Fault on String Sensor"},
    {42, "Accept Gate Failed Open"},
    {43, "Accept Gate Failed Closed"},
    {44, "Stacker Missing"},
    {45, "Stacker Full"},
});

constexpr bool sorted(std::span<const StatusCode> table) {
  return std::is_sorted(table.begin(), table.end(),
                        [](const StatusCode& x, const StatusCode& y) { return x.code < y.code; });
}
static_assert(sorted(kBillStatus) && sorted(kCoinStatus), "status tables are searched by code");

const StatusCode* find(std::span<const StatusCode> table, std::uint8_t code) {
  const auto it =
      std::lower_bound(table.begin(), table.end(), code,
                       [](const StatusCode& row, std::uint8_t c) { return row.code < c; });
  return it != table.end() && it->code == code ? &*it : nullptr;
}

}  // namespace

std::span<const StatusCode> billStatusTable() {
  return kBillStatus;
}

std::span<const StatusCode> coinStatusTable() {
  return kCoinStatus;
}

const StatusCode* billStatus(std::uint8_t code) {
  return find(kBillStatus, code);
}

const StatusCode* coinStatus(std::uint8_t code) {
  return find(kCoinStatus, code);
}

std::optional<int> coinInhibitedType(std::uint8_t code) {
  if (code < kCoinInhibitedTypeFirst || code > kCoinInhibitedTypeLast) return std::nullopt;
  return code - kCoinInhibitedTypeFirst + 1;
}

EventKind eventKind(EventBuffer buffer, std::uint8_t a, std::uint8_t b) {
  switch (buffer) {
    case EventBuffer::Bill:
      if (a != 0) {
        if (b == kNoteStacked) return EventKind::Credit;
        return b == kNoteInEscrow ? EventKind::Escrow : EventKind::Status;
      }
      if (const StatusCode* row = billStatus(b)) return row->kind;
      return EventKind::Status;
    case EventBuffer::Coin:
      if (a != 0) return EventKind::Credit;
      if (const StatusCode* row = coinStatus(b)) return row->kind;
      return coinInhibitedType(b) ? EventKind::Status : EventKind::Fault;
    case EventBuffer::Hopper:
      break;
  }
  return EventKind::Status;
}

bool leavesEscrow(std::uint8_t a, std::uint8_t b) {
  if (a != 0) return b == kNoteStacked;
  const StatusCode* row = billStatus(b);
  return row != nullptr && row->leavesEscrow;
}

const char* selfTestFaultName(std::uint8_t code) {
  for (const FaultName& fault : kSelfTestFaults) {
    if (fault.code == code) return fault.name;
  }
  return "";
}

}  // namespace quennet
