#pragma once
// The shared ccTalk line as the devices see it: frames the host's bytes, checks them, routes them
// to the addressed device and decides what goes back and when (echo, replies, broadcast answers,
// spoiled replies). Pure logic on a clock given by the caller, so it is testable without a pty.

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include <QString>

#include "bnvsim/device.h"
#include "bnvsim/fault_plan.h"
#include "bnvsim/simulator.h"
#include "quennet/link/encryption.h"
#include "quennet/link/frame.h"
#include "quennet/link/protocol.h"

namespace bnvsim {

inline constexpr double kInterByteGapMs = quennet::kInterByteGapMs;
// 10 bits a byte (start, 8 data, stop) at 9600 baud: the paced line's byte time.
inline constexpr double kByteTimeMs = 10.0 * 1000.0 / 9600.0;
// A slave answers one frame at a time. Beyond this many transmissions waiting for the line (a few
// frames with their echoes) a host that sends without reading has its frames dropped unanswered.
inline constexpr std::size_t kMaxWaitingTransmissions = 8;
inline constexpr int kLateReplyMs = 700;  // past the host's longest ordinary wait of 500 ms
inline constexpr int kRepeatGapMs = 3;
// BUSY and then the real answer: this long after the BUSY.
inline constexpr int kBusyAnswerMs = 20;
// The byte of the echo that a changed echo changes (the header), and how.
inline constexpr int kChangedEchoByte = 3;
inline constexpr std::uint8_t kChangedEchoBits =
    0x10;  // a reply sent twice: the second this long after the first
using quennet::kHostAddress;

// Bytes to put on the line, not before `atMs`, in the order handed out. On a paced line `atMs` is
// when the first byte is through; the others follow a byte time apart.
struct Transmission {
  double atMs = 0;
  std::vector<std::uint8_t> bytes;
  bool echo = false;
  bool crc = true;  // the framing of the device that sends it, for the line's trace
};

// One trace line: wall-clock time, direction and the bytes in hexadecimal.
QString traceLine(const QString& direction, std::span<const std::uint8_t> bytes,
                  const QString& note = {});

class Bus {
 public:
  using TraceSink = std::function<void(const QString& line)>;

  // What the operator's status shows of one device on the bus.
  struct Member {
    Device* device = nullptr;
    QString role;
    std::optional<Framing> own;  // std::nullopt: the line's framing
    quennet::KeyDigits key{};    // own.key as digits
    int busyLeft = 0;            // commands still answered BUSY
    int resetSilenceMs = 0;      // quiet after an acknowledged reset
    double silentUntilMs = 0;
  };

  explicit Bus(const LineOptions& line);
  // Devices stay owned by the caller and must outlive the bus. `own`: the device's own framing.
  void attach(Device* device, QString role = {}, std::optional<Framing> own = std::nullopt);
  const std::vector<Member>& members() const { return members_; }
  // The framing a device uses now: its own, or the line's.
  Framing framingOf(const Member& member) const;
  std::optional<Framing> framingAt(int address) const;
  // False without a device at `address`.
  bool setBusyReplies(int address, int count);
  bool setResetSilence(int address, int ms);
  void setLineOptions(const LineOptions& line);
  const LineOptions& lineOptions() const { return line_; }
  FaultPlan& faults() { return faults_; }
  void setTraceSink(TraceSink sink) { trace_ = std::move(sink); }

  // Host bytes that arrived at `nowMs`, while `waiting` earlier transmissions still wait for the
  // line; returns what goes back, in line order. A frame that starts while kMaxWaitingTransmissions
  // wait is dropped unanswered.
  std::vector<Transmission> receive(std::span<const std::uint8_t> bytes, double nowMs,
                                    std::size_t waiting = 0);
  // When a partial frame is due to be dropped, if one is pending.
  std::optional<double> gapDeadline() const;
  void expireGap(double nowMs);
  // Lets time pass for the line and the devices' own timers.
  void advance(double nowMs);
  // The earliest of gapDeadline() and the devices' deadlines.
  std::optional<double> nextDeadline() const;
  // Every complete frame seen, including those dropped unanswered.
  int framesReceived() const { return frames_; }
  int framesDropped() const { return dropped_; }

 private:
  // When a byte the host hands over at `nowMs` is through on the line.
  double onWire(double nowMs);
  // `throughMs`: when the frame's last byte is through on the line.
  void completeFrame(double throughMs, std::vector<Transmission>& out);
  void answerBroadcast(std::uint8_t header, const Member& member, double nowMs,
                       std::vector<Transmission>& out);
  std::vector<std::uint8_t> encode(const Reply& reply, int from, bool spoilChecksum,
                                   const Member& member) const;
  // Whether `member` takes the frame as sent to it; `clear` gets the frame as it reads it.
  bool accepts(const Member& member, const quennet::FrameBuffer& wire, int last,
               quennet::FrameBuffer& clear) const;
  const quennet::KeyDigits& keyOf(const Member& member) const;
  Member* memberAt(int address);
  void trace(const QString& direction, std::span<const std::uint8_t> bytes, const QString& note);

  LineOptions line_;
  quennet::KeyDigits key_{};
  std::vector<Member> members_;
  std::vector<std::uint8_t> pending_;
  double lastByteMs_ = 0;
  bool echoFrame_ = true;
  std::optional<Fault> echoFault_;  // how this frame's echo is spoiled
  bool dropFrame_ = false;
  // Paced: when the host's last byte of an answered frame is through on the line.
  double hostWireMs_ = 0;
  int frames_ = 0;
  int dropped_ = 0;
  FaultPlan faults_;
  TraceSink trace_;
};

}  // namespace bnvsim
