#pragma once
// The virtual bank note validator: a bus of ccTalk devices served on the master side of a
// pseudo-terminal pair from a thread of its own. The host opens slavePath().

#include <array>
#include <cstdint>
#include <memory>

#include <QString>

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

enum class Fault { Silent, Busy, Nak, BadCrc, Truncated, Noise, Late, NoEcho };

struct SimulatorOptions {
  LineOptions line;
  int validatorAddress = 40;
  bool hopper = false;        // at address 3
  bool coinAcceptor = false;  // at address 2
  bool stackerFitted = true;
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
  void insertNote(int noteNumber);
  void removeCashBox();
  void insertCashBox();
  void jam();
  void cheat();
  void stackerFull();
  void reset();
  // The fault code the validator's self test reports from now on (0: no fault).
  void setSelfTestFault(int code);
  // Coin position 1..16 at the coin acceptor, when one is on the bus.
  void insertCoin(int coinNumber);
  // Spoils the next `count` replies.
  void injectFault(Fault fault, int count = 1);
  void setFaultProbability(Fault fault, double probability);
  void setLineOptions(const LineOptions& options);
  // The line as it stands, including a key the host has changed.
  LineOptions lineOptions() const;

  // Snapshots for tests, safe from any thread.
  int validatorAddress() const;
  std::array<std::uint8_t, 2> inhibitMask() const;
  std::uint8_t masterInhibit() const;
  std::uint8_t billMode() const;
  bool noteInEscrow() const;
  // Every complete frame the bus has seen, whatever its address or checksum.
  int framesReceived() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace bnvsim
