#pragma once
// A ccTalk slave as pure logic: one decoded request in, one reply (or silence) out. The bus does
// the framing, checksums, timing and addressing; a device only knows its commands and state.

#include <cstdint>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "quennet/link/protocol.h"

namespace bnvsim {

// Reply headers other than the echoed command header.
using quennet::kHeaderAck;
using quennet::kHeaderBusy;
using quennet::kHeaderNak;

struct Reply {
  std::uint8_t header = kHeaderAck;
  std::vector<std::uint8_t> data;
  int delayMs = 0;  // the device's own processing time, such as a stacker cycle
  // A key change answers under the old key; the bus switches to this one after the reply.
  std::optional<std::int32_t> newKeyCode;

  static Reply ack() { return {}; }
  static Reply withHeader(std::uint8_t header) {
    Reply reply;
    reply.header = header;
    return reply;
  }
  static Reply nak() { return withHeader(kHeaderNak); }
  static Reply bytes(std::vector<std::uint8_t> data) {
    Reply reply;
    reply.data = std::move(data);
    return reply;
  }
  static Reply text(const std::string& text) { return bytes({text.begin(), text.end()}); }
};

// What the bus has seen on the line, as the device counts it for header 2.
struct CommsCounters {
  std::uint8_t timeouts = 0;
  std::uint8_t ignoredBytes = 0;
  std::uint8_t badChecksums = 0;
};

// The answers every kind of device gives the same way, from its own values.
struct Identity {
  std::string equipmentCategory;
  std::string manufacturer;
  std::string productCode;
  std::string buildCode;
  std::string softwareRevision;
  std::uint32_t serialNumber = 0;  // 24 bits, as the label reads it; sent least significant first
  std::uint8_t addressMode = 0;
};

class Device {
 public:
  Device(int address, Identity identity);
  virtual ~Device() = default;
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;

  int address() const { return address_; }

  Reply handle(std::uint8_t header, std::span<const std::uint8_t> data);
  // A software power cycle, as header 1 asks: the device comes back as at power-up.
  void reset() { onReset(); }
  // Time passes for devices with timers of their own. The bus and the simulator give the time
  // before every request and operator action, and when deadline() falls due; it never goes back.
  virtual void advance(double nowMs) { (void)nowMs; }
  virtual std::optional<double> deadline() const { return std::nullopt; }
  CommsCounters& comms() { return comms_; }
  const CommsCounters& comms() const { return comms_; }
  std::uint32_t serialNumber() const { return identity_.serialNumber; }

 protected:
  // The device's own headers; std::nullopt when it does not know the header.
  virtual std::optional<Reply> answer(std::uint8_t header, std::span<const std::uint8_t> data) = 0;
  virtual void onReset() = 0;
  std::mt19937& random() { return random_; }
  // Another unit of the same kind put in its place.
  void setSerialNumber(std::uint32_t serial) { identity_.serialNumber = serial; }

 private:
  int address_;
  Identity identity_;
  CommsCounters comms_;
  std::mt19937 random_;
};

// Headers coin acceptors and hoppers answer that the host's command set never sends.
inline constexpr std::uint8_t kRequestSorterPaths = 209;
inline constexpr std::uint8_t kRequestDatabaseVersion = 243;

// What coin acceptors and hoppers answer alike: polling priority (2, 20: every 200 ms), database
// version (1) and the sorter paths of a coin position (path 1, no override paths); hosts read
// them at start and give up on a NAK. std::nullopt for every other header.
std::optional<Reply> coinDeviceAnswer(std::uint8_t header, std::span<const std::uint8_t> data);

// Counts from `value` as ccTalk event counters do: 1 to 255, then 1 again (0 only after reset).
std::uint8_t nextEventCounter(std::uint8_t value);
// Three bytes, least significant first: the counter replies.
std::vector<std::uint8_t> counterBytes(std::uint32_t value);

}  // namespace bnvsim
