#pragma once
// The virtual bank note validator: a bus of ccTalk devices served on the master side of a
// pseudo-terminal pair from a thread of its own. The host opens slavePath().

#include <array>
#include <cstdint>
#include <memory>
#include <optional>

#include <QString>

#include "bnvsim/hopper.h"
#include "bnvsim/note_table.h"
#include "quennet/link/protocol_events.h"

namespace bnvsim {

// How the shared line behaves; changeable while serving.
struct LineOptions {
  bool echo = true;         // every host byte comes back before the reply (shared RX/TX line)
  bool crc = true;          // CRC-16 frames; false selects the 8-bit checksum
  bool encryption = false;  // CRC mode only, both directions
  QString key = QStringLiteral("582604");
  bool pacing = false;  // 9600 baud 8N1 byte timing
  int replyDelayMs = 0;
};

// How one device frames its messages. A device without a framing of its own follows the line's.
struct Framing {
  bool crc = true;          // CRC-16; false selects the 8-bit checksum
  bool encryption = false;  // CRC mode only
  QString key = QStringLiteral("582604");
};
// Whether `text` is a key as the operator types it: six decimal digits.
bool validKeyText(const QString& text);
// A device's framing as written on the command line: "crc16", "checksum8", "encrypted" (CRC-16
// with the default key) or "encrypted:DIGITS" (six decimal digits).
std::optional<Framing> framingFromText(const QString& text);
// "CRC-16", "8-bit checksum" or "CRC-16 encrypted (key 123456)".
QString framingText(const Framing& framing);

// A device that answers BUSY for a while, or goes quiet after a reset as a real one takes its
// time to come back.
inline constexpr int kDefaultResetSilenceMs = 1500;

// How long a note waits in escrow for the host's route request before it is given back.
inline constexpr int kDefaultEscrowHoldMs = 10000;

// BusyThenAnswer: BUSY, then the real answer a little later. EchoNoise: a byte 0x01 ahead of an
// echo with a byte changed; EchoHost: an echo whose first byte reads 0x01 (the host's address).
// WrongLength: the reply's data one byte short, one byte long or left out (a bare ACK).
enum class Fault {
  Silent,
  Busy,
  Nak,
  BadCrc,
  Truncated,
  Noise,
  Late,
  NoEcho,
  Twice,
  BusyThenAnswer,
  EchoNoise,
  EchoHost,
  WrongLength,
};
inline constexpr int kFaultKinds = 13;
// Queued faults are bounded: each one waits for a reply of its own.
inline constexpr int kMaxQueuedFaults = 1000;

// The faults in force, as the operator's status shows them.
struct ActiveFaults {
  std::array<int, kFaultKinds> queued{};  // replies still to spoil, by kind
  std::array<double, kFaultKinds> probability{};
  int selfTestCode = 0;
};

// What became of a note put into the validator's bezel.
struct Insertion {
  enum Outcome { Held, Stacked, Returned, Blocked };
  Outcome outcome = Blocked;  // Blocked: a note is held in escrow already
  std::uint8_t status = 0;    // Returned: the status event raised
};

struct SimulatorOptions {
  LineOptions line;
  int validatorAddress = quennet::kValidatorAddress;
  bool hopper = false;                  // at quennet::kHopperAddress
  bool coinAcceptor = false;            // at quennet::kCoinAcceptorAddress
  int hopperRate = kDefaultHopperRate;  // coins a second; 0 pays within the dispense command
  std::uint32_t hopperCode = kDefaultHopperCode;  // the security code of a dispense
  bool hopperSerialCode = false;  // the hopper takes its serial number as that code instead
  bool stackerFitted = true;
  int escrowHoldMs =
      kDefaultEscrowHoldMs;  // a note nobody routes is returned after this; 0 holds it for ever
  Scaling scaling;           // what the validator says of its note values
  // Framings of their own; std::nullopt: the line's.
  std::optional<Framing> validatorFraming;
  std::optional<Framing> coinAcceptorFraming;
  std::optional<Framing> hopperFraming;
  bool trace = false;   // decoded frames to standard error
  QString capturePath;  // when set, every byte on the line goes to this capture file
};

class Simulator {
 public:
  explicit Simulator(SimulatorOptions options = {});
  ~Simulator();
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  // Opens the pty pair and starts serving; false (with a reason) when the pair cannot be opened.
  bool start(QString* error = nullptr);
  void stop();
  QString slavePath() const;

  // Operations on the devices, safe from any thread.
  Insertion insertNote(int noteNumber);
  void removeCashBox();
  void insertCashBox();
  void jam();
  void cheat();
  void stackerFull();
  // Every device back as at power-up.
  void reset();
  // The next note the validator stacks goes into the cash box, and the validator resets before
  // its stacked event is written: a brown-out as the stacker motor starts.
  void brownOut();
  // Another hopper put in the hopper's place, with its own serial number and dispense count;
  // false without a hopper.
  bool replaceHopper(std::uint32_t serial, std::uint32_t dispensed);
  // The hopper's next payout stops after `coins` coins; false without a hopper.
  bool jamHopper(int coins);
  // "hopper 3: serial 700301, held 497, dispensed 3": the hopper's own counters, and ", paying
  // 4" while coins of a payout are still to go out; empty without a hopper.
  QString hopperCounters() const;
  // The fault code the validator's self test reports from now on (0: no fault).
  void setSelfTestFault(int code);
  // Coin position 1..16 at the coin acceptor, when one is on the bus.
  void insertCoin(int coinNumber);
  // Spoils the next `count` replies; false when that would queue more than kMaxQueuedFaults.
  bool injectFault(Fault fault, int count = 1);
  void setFaultProbability(Fault fault, double probability);
  // Every queued and random fault of one kind.
  void clearFault(Fault fault);
  // Every queued and random fault, and the self-test fault code.
  void clearFaults();
  ActiveFaults activeFaults() const;
  // The device at `address` answers BUSY to its next `count` commands; false without a device
  // there.
  bool setBusyReplies(int address, int count);
  // The device at `address` is silent for `ms` after it acknowledges a reset (0: back at once);
  // false without a device there.
  bool setResetSilence(int address, int ms);
  // One line a device: role, address, framing and the faults it plays.
  QString devicesText() const;
  void setLineOptions(const LineOptions& options);
  // The line as it stands, including a key the host has changed.
  LineOptions lineOptions() const;

  // Snapshots for tests, safe from any thread.
  int validatorAddress() const;
  std::array<std::uint8_t, 2> inhibitMask() const;
  std::uint8_t masterInhibit() const;
  std::uint8_t billMode() const;
  bool noteInEscrow() const;
  // The note position held in escrow, 0 when empty.
  int escrowNote() const;
  // Milliseconds until the note in escrow is given back; -1 when none is held or it is held
  // until routed.
  int escrowHoldLeftMs() const;
  std::uint8_t eventCounter() const;
  // "notes 2:1 3:2; coins 8:1": what the validator stacked and the coin acceptor took, by
  // position, as their own counters have it.
  QString counters() const;
  // Every complete frame the bus has seen, whatever its address or checksum.
  int framesReceived() const;
  // Frames a flooding host sent while replies still waited for the line; never answered.
  int framesDropped() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace bnvsim
