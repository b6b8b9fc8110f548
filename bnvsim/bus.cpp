#include "bnvsim/bus.h"

#include <algorithm>

#include <QTime>

#include "quennet/link/frame.h"
#include "quennet/link/protocol.h"

namespace bnvsim {

namespace {

constexpr int kAddressPollSlotMs = 4;
constexpr int kFrameOverhead = 5;

}  // namespace

QString traceLine(const QString& direction, std::span<const std::uint8_t> bytes,
                  const QString& note) {
  QString line = QTime::currentTime().toString(QStringLiteral("hh:mm:ss.zzz ")) + direction +
                 QLatin1Char(' ') + quennet::renderFrame(bytes, 0);
  if (!note.isEmpty()) line += QLatin1Char('(') + note + QLatin1Char(')');
  return line;
}

Bus::Bus(const LineOptions& line) {
  setLineOptions(line);
}

void Bus::setLineOptions(const LineOptions& line) {
  line_ = line;
  key_ = quennet::keyDigitsFromCode(quennet::keyCodeFromText(line.key));
}

void Bus::trace(const QString& direction, std::span<const std::uint8_t> bytes,
                const QString& note) {
  if (trace_) trace_(traceLine(direction, bytes, note));
}

Device* Bus::deviceAt(int address) const {
  const auto it = std::find_if(devices_.begin(), devices_.end(),
                               [address](Device* d) { return d->address() == address; });
  return it == devices_.end() ? nullptr : *it;
}

std::optional<double> Bus::gapDeadline() const {
  if (pending_.empty()) return std::nullopt;
  return lastByteMs_ + kInterByteGapMs;
}

void Bus::expireGap(double nowMs) {
  if (pending_.empty() || nowMs - lastByteMs_ <= kInterByteGapMs) return;
  // Every device on the line saw the frame break off.
  for (Device* device : devices_) {
    CommsCounters& comms = device->comms();
    ++comms.timeouts;
    comms.ignoredBytes = static_cast<std::uint8_t>(comms.ignoredBytes + pending_.size());
  }
  trace(QStringLiteral("RX"), pending_, QStringLiteral("partial frame dropped"));
  pending_.clear();
}

void Bus::advance(double nowMs) {
  expireGap(nowMs);
  for (Device* device : devices_) device->advance(nowMs);
}

std::optional<double> Bus::nextDeadline() const {
  std::optional<double> earliest = gapDeadline();
  for (const Device* device : devices_) {
    const std::optional<double> due = device->deadline();
    if (due && (!earliest || *due < *earliest)) earliest = due;
  }
  return earliest;
}

double Bus::onWire(double nowMs) {
  if (!line_.pacing) return nowMs;
  // The pty hands a frame over at once; on a wire the host's bytes take their time, and the echo
  // comes back while the host is still sending.
  hostWireMs_ = std::max(hostWireMs_, nowMs) + kByteTimeMs;
  return hostWireMs_;
}

std::vector<Transmission> Bus::receive(std::span<const std::uint8_t> bytes, double nowMs,
                                       std::size_t waiting) {
  std::vector<Transmission> out;
  std::vector<std::uint8_t> echo;
  double echoAtMs = nowMs;
  const auto flushEcho = [&] {
    if (echo.empty()) return;
    out.push_back(Transmission{echoAtMs, echo, true});
    echo.clear();
  };
  // Unpaced, what is due now goes out at once and waits for nothing.
  const auto waitingForLine = [&] {
    return waiting + static_cast<std::size_t>(std::count_if(
                         out.begin(), out.end(),
                         [&](const Transmission& t) { return line_.pacing || t.atMs > nowMs; }));
  };
  advance(nowMs);
  for (std::uint8_t byte : bytes) {
    expireGap(nowMs);
    if (pending_.empty()) {
      dropFrame_ = waitingForLine() >= kMaxWaitingTransmissions;
      // The echo is the wire's own, so it stays; only on a paced line, where it too would wait
      // for the line, does a dropped frame lose it.
      echoFrame_ = !(dropFrame_ && line_.pacing) && !faults_.takeMissingEcho() && line_.echo;
    }
    pending_.push_back(byte);
    lastByteMs_ = nowMs;
    // A dropped frame collides with the replies still going out: it takes no time of its own.
    const double throughMs = dropFrame_ ? nowMs : onWire(nowMs);
    if (echoFrame_) {
      if (echo.empty()) echoAtMs = throughMs;
      echo.push_back(byte);
    }
    if (pending_.size() >= 2 && static_cast<int>(pending_.size()) == pending_[1] + kFrameOverhead) {
      flushEcho();
      if (dropFrame_) {
        ++frames_;
        ++dropped_;
        trace(QStringLiteral("RX"), pending_, QStringLiteral("dropped, replies still waiting"));
        pending_.clear();
      } else {
        completeFrame(throughMs, out);
      }
    }
  }
  flushEcho();
  return out;
}

std::vector<std::uint8_t> Bus::encode(const Reply& reply, int from, bool spoilChecksum) const {
  quennet::FrameBuffer frame;
  const int n = static_cast<int>(reply.data.size());
  frame.at(1) = kHostAddress;
  frame.at(2) = static_cast<std::uint8_t>(n);
  frame.at(3) = static_cast<std::uint8_t>(from);
  frame.at(4) = reply.header;
  for (int i = 0; i < n; ++i) frame.at(5 + i) = reply.data[static_cast<std::size_t>(i)];
  const int last = n + kFrameOverhead;
  if (line_.crc) {
    const auto crc = static_cast<std::uint16_t>(quennet::Crc16(frame) ^ (spoilChecksum ? 1 : 0));
    frame.at(3) = static_cast<std::uint8_t>(crc & 0xFF);
    frame.at(last) = static_cast<std::uint8_t>(crc >> 8);
    if (line_.encryption) quennet::EncryptFrame(frame, key_);
  } else {
    frame.at(last) = static_cast<std::uint8_t>(quennet::Checksum8(frame) ^ (spoilChecksum ? 1 : 0));
  }
  const auto bytes = frame.first(last);
  return {bytes.begin(), bytes.end()};
}

void Bus::answerBroadcast(std::uint8_t header, double nowMs, std::vector<Transmission>& out) {
  if (!quennet::gathersAnswers(header)) return;
  for (Device* device : devices_) {
    const std::uint8_t byte =
        header == quennet::ADDRESS_POLL ? device->addressPollByte() : device->addressClashByte();
    out.push_back(Transmission{nowMs + kAddressPollSlotMs * device->address(), {byte}, false});
  }
  // Answers leave in time order, whatever the order of the devices on the bus.
  std::stable_sort(out.begin(), out.end(),
                   [](const Transmission& a, const Transmission& b) { return a.atMs < b.atMs; });
}

void Bus::completeFrame(double throughMs, std::vector<Transmission>& out) {
  ++frames_;
  std::vector<std::uint8_t> wire;
  wire.swap(pending_);
  const int dataLength = wire[1];
  const int destination = wire[0];
  if (dataLength > quennet::kMaxDataLength) {
    for (Device* device : devices_) {
      device->comms().ignoredBytes =
          static_cast<std::uint8_t>(device->comms().ignoredBytes + wire.size());
    }
    return trace(QStringLiteral("RX"), wire, QStringLiteral("too long, ignored"));
  }

  quennet::FrameBuffer frame;
  std::copy(wire.begin(), wire.end(), &frame.at(1));
  const int last = dataLength + kFrameOverhead;
  bool good = false;
  if (line_.crc) {
    if (line_.encryption) quennet::DecryptReply(frame, key_);
    good = quennet::Crc16(frame) == frame.at(last) * 256 + frame.at(3);
  } else {
    good = quennet::Checksum8(frame) == frame.at(last);
  }
  if (!good) {
    for (Device* device : devices_) {
      if (destination == quennet::kBroadcastAddress || device->address() == destination) {
        ++device->comms().badChecksums;
      }
    }
    return trace(QStringLiteral("RX"), wire, QStringLiteral("bad checksum, no reply"));
  }
  trace(QStringLiteral("RX"), frame.first(last),
        line_.crc && line_.encryption ? QStringLiteral("decrypted") : QString());

  const std::uint8_t header = frame.at(4);
  if (destination == quennet::kBroadcastAddress) return answerBroadcast(header, throughMs, out);
  Device* device = deviceAt(destination);
  if (!device) return;

  const std::optional<Fault> fault = faults_.takeReplyFault();
  Reply reply;
  if (fault == Fault::Silent) return trace(QStringLiteral("TX"), {}, QStringLiteral("silent"));
  if (fault == Fault::Busy) {
    reply = Reply::withHeader(kHeaderBusy);
  } else if (fault == Fault::Nak) {
    reply = Reply::nak();
  } else {
    const std::span<const std::uint8_t> data(&frame.at(5), static_cast<std::size_t>(dataLength));
    reply = device->handle(header, data);
  }

  // The reply leaves from the address the frame was sent to, even after an address change. On a
  // paced line its first byte is through a byte time after the host's last.
  const double firstByteMs = throughMs + (line_.pacing ? kByteTimeMs : 0);
  Transmission sent{firstByteMs + line_.replyDelayMs + reply.delayMs,
                    encode(reply, destination, fault == Fault::BadCrc), false};
  if (reply.newKeyCode) {
    key_ = quennet::keyDigitsFromCode(*reply.newKeyCode);
    line_.key = quennet::keyTextFromCode(*reply.newKeyCode);
  }
  if (fault == Fault::Truncated) {
    sent.bytes.resize(std::max<std::size_t>(2, sent.bytes.size() / 2));
  } else if (fault == Fault::Noise) {
    std::uniform_int_distribution<int> count(1, 3);
    std::uniform_int_distribution<int> value(0, 255);
    const int noise = count(faults_.random());
    for (int i = 0; i < noise; ++i) {
      sent.bytes.insert(sent.bytes.begin(), static_cast<std::uint8_t>(value(faults_.random())));
    }
  } else if (fault == Fault::Late) {
    sent.atMs += kLateReplyMs;
  } else if (fault == Fault::Twice) {
    Transmission again = sent;
    again.atMs +=
        (line_.pacing ? static_cast<double>(sent.bytes.size()) * kByteTimeMs : 0) + kRepeatGapMs;
    out.push_back(std::move(sent));
    out.push_back(std::move(again));
    return;
  }
  out.push_back(std::move(sent));
}

}  // namespace bnvsim
