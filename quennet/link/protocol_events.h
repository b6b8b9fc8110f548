#pragma once
// The ccTalk numbers beside the headers, in one table: the addresses devices leave the factory
// with, the codes of the bill and coin event buffers with their names and what each one means,
// the route codes and the one-byte refusals of routing and the stacker cycle, and the bits of the
// bill operating mode. The event poller, the daemon, the event watch, Tolvar and bnvsim read
// them from here.

#include <cstdint>
#include <optional>
#include <span>

#include "quennet/quennet_export.h"

namespace quennet {

/// Where a device answers until somebody changes its address.
///@{
inline constexpr std::uint8_t kValidatorAddress = 40;
inline constexpr std::uint8_t kCoinAcceptorAddress = 2;
inline constexpr std::uint8_t kHopperAddress = 3;
///@}

/// Milliseconds between two reads of a device's events unless the user sets another period: the
/// library's poller, the tool, the service and the bench all start from it.
inline constexpr int kDefaultPollIntervalMs = 200;

/// Positions of a bill validator's notes and of a coin acceptor's coins: 1..16, one bit each of
/// the inhibit register.
inline constexpr int kPositionCount = 16;

/// Route codes RouteBill (header 154) sends: return the note in escrow, stack it, or hold it
/// there (its hold time starts again).
///@{
inline constexpr std::uint8_t kRouteReturn = 0;
inline constexpr std::uint8_t kRouteStack = 1;
inline constexpr std::uint8_t kRouteHold = 255;
///@}
/// One-byte refusals of RouteBill: no note in escrow, or the route failed.
///@{
inline constexpr std::uint8_t kRouteEscrowEmpty = 254;
inline constexpr std::uint8_t kRouteFailed = 255;
///@}
/// One-byte refusals of the stacker cycle (header 147): a stacker fault, or no stacker fitted.
///@{
inline constexpr std::uint8_t kStackerFault = 254;
inline constexpr std::uint8_t kStackerNotFitted = 255;
///@}

/// Bits of the bill operating mode (headers 152 and 153).
///@{
inline constexpr std::uint8_t kBillModeStacker = 1;
inline constexpr std::uint8_t kBillModeEscrow = 2;
///@}

/// The route B of a bill credit pair (A = the note's position): stacked, or held in escrow.
///@{
inline constexpr std::uint8_t kNoteStacked = 0;
inline constexpr std::uint8_t kNoteInEscrow = 1;
///@}

/// Status codes B of a bill event pair with A = 0, by the names the table gives them.
enum class BillStatus : std::uint8_t {
  MasterInhibit = 0,  ///< a note refused: master inhibit on (an event only where the counter moved)
  Returned = 1,
  NotRecognised = 2,
  TransportProblem = 3,
  Inhibited = 4,
  InhibitedBySwitches = 5,
  JammedInValidator = 6,
  JammedInStacker = 7,
  PulledBackwards = 8,
  CheatSuspected = 9,
  StackerOk = 10,
  CashBoxRemoved = 11,
  CashBoxInserted = 12,
  StackerJammed = 13,
  StackerFull = 14,
  StackerJam = 15,
  JammedInTransportSafe = 16,  ///< the note is kept from being pulled out
  OptoFraud = 17,
  AntiStringGate = 18,
  AntiStringFaulty = 19,
  Barcode = 20,
  UnknownNoteStacked = 21,
};

/// Error codes B of a coin event pair with A = 0 (the table names every code it knows).
enum class CoinStatus : std::uint8_t {
  None = 0,  ///< no error: a counted pair (0, 0)
  Rejected = 1,
  Inhibited = 2,
};
/// Error codes 128 to 159: a coin refused because the host inhibits its type (1 to 32).
///@{
inline constexpr std::uint8_t kCoinInhibitedTypeFirst = 128;
inline constexpr std::uint8_t kCoinInhibitedTypeLast = 159;
///@}
/// The coin type (1 to 32) an error code of 128 to 159 names; nothing for any other code.
QUENNET_EXPORT std::optional<int> coinInhibitedType(std::uint8_t code);

/// The name of a self-test fault code (header 232), "" for 0 (no fault) and for a code the
/// table does not know.
QUENNET_EXPORT const char* selfTestFaultName(std::uint8_t code);

/// What an event pair means to whoever takes money.
enum class EventKind : std::uint8_t {
  Credit,  ///< money taken: a note stacked, a coin accepted
  Escrow,  ///< a note held in escrow, waiting for its route
  Status,  ///< news that needs nobody: a note given back or refused, the cash box, a payout
  Fault,   ///< needs a person: a jam, a fraud attempt, a full stacker, a coin acceptor error
};

/// The buffer an event pair was read from: bill events (159), coin credits (229) or the hopper's
/// status (166).
enum class EventBuffer : std::uint8_t { Bill, Coin, Hopper };

/// One status code of a bill or coin event buffer.
struct StatusCode {
  std::uint8_t code = 0;  ///< B of an (A = 0, B) pair
  const char* name = "";  ///< as the bench and the tools show it; "" for a code without a name
  EventKind kind = EventKind::Status;  ///< Status or Fault
  bool leavesEscrow = false;           ///< a note held in escrow is gone (given back or jammed)
};

/// Every status code the library knows, sorted by code.
///@{
QUENNET_EXPORT std::span<const StatusCode> billStatusTable();
QUENNET_EXPORT std::span<const StatusCode> coinStatusTable();
///@}
/// The code's row, or nullptr for a code the table does not know.
///@{
QUENNET_EXPORT const StatusCode* billStatus(std::uint8_t code);
QUENNET_EXPORT const StatusCode* coinStatus(std::uint8_t code);
///@}

/// What the pair (a, b) of `buffer` means. A bill status code the table does not know is news,
/// a coin error code it does not know is a fault; a bill credit with a route other than stacked
/// or in escrow, and every hopper pair, are news.
QUENNET_EXPORT EventKind eventKind(EventBuffer buffer, std::uint8_t a, std::uint8_t b);
/// True when the bill event pair (a, b) ends a note's stay in escrow: stacked, given back or
/// jammed.
QUENNET_EXPORT bool leavesEscrow(std::uint8_t a, std::uint8_t b);

}  // namespace quennet
