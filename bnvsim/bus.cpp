#include "bnvsim/bus.h"

#include <algorithm>

#include <QTime>

#include "quennet/link/frame.h"
#include "quennet/link/protocol.h"

namespace bnvsim {

namespace {

constexpr int kAddressPollSlotMs = 4;
// An address clash is answered after a random delay inside the host's listening time.
constexpr int kLongestClashDelayMs = 1000;
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

void Bus::attach(Device* device, QString role, std::optional<Framing> own) {
  Member member{device, std::move(role), std::move(own)};
  if (member.own)
    member.key = quennet::keyDigitsFromCode(quennet::keyCodeFromText(member.own->key));
  members_.push_back(std::move(member));
}

Bus::Member* Bus::memberAt(int address) {
  const auto it = std::find_if(members_.begin(), members_.end(), [address](const Member& m) {
    return m.device->address() == address;
  });
  return it == members_.end() ? nullptr : &*it;
}

Framing Bus::framingOf(const Member& member) const {
  if (member.own) return *member.own;
  return Framing{line_.crc, line_.encryption, line_.key};
}

const quennet::KeyDigits& Bus::keyOf(const Member& member) const {
  return member.own ? member.key : key_;
}

std::optional<Framing> Bus::framingAt(int address) const {
  for (const Member& member : members_) {
    if (member.device->address() == address) return framingOf(member);
  }
  return std::nullopt;
}

bool Bus::setBusyReplies(int address, int count) {
  Member* member = memberAt(address);
  if (!member) return false;
  member->busyLeft = std::max(0, count);
  return true;
}

bool Bus::setResetSilence(int address, int ms) {
  Member* member = memberAt(address);
  if (!member) return false;
  member->resetSilenceMs = std::max(0, ms);
  if (ms <= 0) member->silentUntilMs = 0;
  return true;
}

bool Bus::accepts(const Member& member, const quennet::FrameBuffer& wire, int last,
                  quennet::FrameBuffer& clear) const {
  clear = wire;
  const Framing framing = framingOf(member);
  if (!framing.crc) return quennet::Checksum8(clear) == clear.at(last);
  if (framing.encryption) quennet::DecryptReply(clear, keyOf(member));
  return quennet::Crc16(clear) == clear.at(last) * 256 + clear.at(3);
}

std::optional<double> Bus::gapDeadline() const {
  if (pending_.empty()) return std::nullopt;
  return lastByteMs_ + kInterByteGapMs;
}

void Bus::expireGap(double nowMs) {
  if (pending_.empty() || nowMs - lastByteMs_ <= kInterByteGapMs) return;
  // Every device on the line saw the frame break off.
  for (Member& member : members_) {
    CommsCounters& comms = member.device->comms();
    ++comms.timeouts;
    comms.ignoredBytes = static_cast<std::uint8_t>(comms.ignoredBytes + pending_.size());
  }
  trace(QStringLiteral("RX"), pending_, QStringLiteral("partial frame dropped"));
  pending_.clear();
}

void Bus::advance(double nowMs) {
  expireGap(nowMs);
  for (Member& member : members_) member.device->advance(nowMs);
}

std::optional<double> Bus::nextDeadline() const {
  std::optional<double> earliest = gapDeadline();
  for (const Member& member : members_) {
    const std::optional<double> due = member.device->deadline();
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
      echoFault_ = faults_.takeEchoFault();
      echoFrame_ = !(dropFrame_ && line_.pacing) && echoFault_ != Fault::NoEcho && line_.echo;
    }
    pending_.push_back(byte);
    lastByteMs_ = nowMs;
    // A dropped frame collides with the replies still going out: it takes no time of its own.
    const double throughMs = dropFrame_ ? nowMs : onWire(nowMs);
    if (echoFrame_) {
      if (echo.empty()) echoAtMs = throughMs;
      const std::size_t at = pending_.size() - 1;
      std::uint8_t echoed = byte;
      if (echoFault_ == Fault::EchoHost && at == 0) echoed = kHostAddress;
      if (echoFault_ == Fault::EchoNoise && at == 0) echo.push_back(kHostAddress);
      if (echoFault_ == Fault::EchoNoise && at == kChangedEchoByte) echoed ^= kChangedEchoBits;
      echo.push_back(echoed);
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

std::vector<std::uint8_t> Bus::encode(const Reply& reply, int from, bool spoilChecksum,
                                      const Member& member) const {
  const Framing framing = framingOf(member);
  quennet::FrameBuffer frame;
  const int n = static_cast<int>(reply.data.size());
  frame.at(1) = kHostAddress;
  frame.at(2) = static_cast<std::uint8_t>(n);
  frame.at(3) = static_cast<std::uint8_t>(from);
  frame.at(4) = reply.header;
  for (int i = 0; i < n; ++i) frame.at(5 + i) = reply.data[static_cast<std::size_t>(i)];
  const int last = n + kFrameOverhead;
  if (framing.crc) {
    const auto crc = static_cast<std::uint16_t>(quennet::Crc16(frame) ^ (spoilChecksum ? 1 : 0));
    frame.at(3) = static_cast<std::uint8_t>(crc & 0xFF);
    frame.at(last) = static_cast<std::uint8_t>(crc >> 8);
    if (framing.encryption) quennet::EncryptFrame(frame, keyOf(member));
  } else {
    frame.at(last) = static_cast<std::uint8_t>(quennet::Checksum8(frame) ^ (spoilChecksum ? 1 : 0));
  }
  const auto bytes = frame.first(last);
  return {bytes.begin(), bytes.end()};
}

void Bus::answerBroadcast(std::uint8_t header, const Member& member, double nowMs,
                          std::vector<Transmission>& out) {
  if (!quennet::gathersAnswers(header) || nowMs < member.silentUntilMs) return;
  // Both answer with the device's address: a poll in its slot of 4 ms an address, a clash after
  // a random delay, so that devices sharing an address are heard apart.
  const int address = member.device->address();
  const double delayMs =
      header == quennet::ADDRESS_POLL
          ? kAddressPollSlotMs * address
          : std::uniform_real_distribution<double>(0, kLongestClashDelayMs)(faults_.random());
  out.push_back(Transmission{nowMs + delayMs, {static_cast<std::uint8_t>(address)}, false});
}

void Bus::completeFrame(double throughMs, std::vector<Transmission>& out) {
  ++frames_;
  std::vector<std::uint8_t> wire;
  wire.swap(pending_);
  const int dataLength = wire[1];
  const int destination = wire[0];
  if (dataLength > quennet::kMaxDataLength) {
    for (Member& member : members_) {
      CommsCounters& comms = member.device->comms();
      comms.ignoredBytes = static_cast<std::uint8_t>(comms.ignoredBytes + wire.size());
    }
    return trace(QStringLiteral("RX"), wire, QStringLiteral("too long, ignored"));
  }

  quennet::FrameBuffer received;
  std::copy(wire.begin(), wire.end(), &received.at(1));
  const int last = dataLength + kFrameOverhead;
  quennet::FrameBuffer frame;

  if (destination == quennet::kBroadcastAddress) {
    // Every device reads a broadcast in its own framing; those it does not check out for stay
    // silent and count a bad checksum.
    std::optional<quennet::FrameBuffer> read;
    for (Member& member : members_) {
      if (!accepts(member, received, last, frame)) {
        ++member.device->comms().badChecksums;
        continue;
      }
      if (!read) read = frame;
      answerBroadcast(frame.at(4), member, throughMs, out);
    }
    if (!read) return trace(QStringLiteral("RX"), wire, QStringLiteral("bad checksum, no reply"));
    trace(QStringLiteral("RX"), read->first(last), QString());
    // Answers leave in time order, whatever the order of the devices on the bus.
    std::stable_sort(out.begin(), out.end(),
                     [](const Transmission& a, const Transmission& b) { return a.atMs < b.atMs; });
    return;
  }
  Member* member = memberAt(destination);
  if (!member) return trace(QStringLiteral("RX"), wire, QString());
  const Framing framing = framingOf(*member);
  if (!accepts(*member, received, last, frame)) {
    ++member->device->comms().badChecksums;
    return trace(QStringLiteral("RX"), wire, QStringLiteral("bad checksum, no reply"));
  }
  trace(QStringLiteral("RX"), frame.first(last),
        framing.crc && framing.encryption ? QStringLiteral("decrypted") : QString());
  const std::uint8_t header = frame.at(4);
  if (throughMs < member->silentUntilMs) {
    return trace(QStringLiteral("TX"), {}, QStringLiteral("coming back from reset, silent"));
  }
  Device* device = member->device;

  if (member->busyLeft > 0) {
    --member->busyLeft;
    const double atMs = throughMs + (line_.pacing ? kByteTimeMs : 0) + line_.replyDelayMs;
    out.push_back(Transmission{atMs,
                               encode(Reply::withHeader(kHeaderBusy), destination, false, *member),
                               false, framing.crc});
    return;
  }

  const std::optional<Fault> fault = faults_.takeReplyFault();
  Reply reply;
  if (fault == Fault::Silent) return trace(QStringLiteral("TX"), {}, QStringLiteral("silent"));
  if (fault == Fault::Busy || fault == Fault::BusyThenAnswer) {
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
  if (fault == Fault::WrongLength) {
    // Left out, one short or one long; the checksum is right for what is sent.
    const int way = std::uniform_int_distribution<int>(0, 2)(faults_.random());
    if (way == 0 || reply.data.empty()) {
      reply.data.push_back(0);
    } else if (way == 1) {
      reply.data.pop_back();
    } else {
      reply.data.clear();
      reply.header = quennet::kHeaderAck;
    }
  }
  Transmission sent{firstByteMs + line_.replyDelayMs + reply.delayMs,
                    encode(reply, destination, fault == Fault::BadCrc, *member), false,
                    framing.crc};
  if (reply.newKeyCode) {
    if (member->own) {
      member->key = quennet::keyDigitsFromCode(*reply.newKeyCode);
      member->own->key = quennet::keyTextFromCode(*reply.newKeyCode);
    } else {
      key_ = quennet::keyDigitsFromCode(*reply.newKeyCode);
      line_.key = quennet::keyTextFromCode(*reply.newKeyCode);
    }
  }
  // A device that takes its time after a reset hears nothing until it is back.
  if (header == quennet::RESET_DEVICE && reply.header == kHeaderAck && !fault &&
      member->resetSilenceMs > 0) {
    member->silentUntilMs = sent.atMs + member->resetSilenceMs;
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
  } else if (fault == Fault::BusyThenAnswer) {
    const std::span<const std::uint8_t> data(&frame.at(5), static_cast<std::size_t>(dataLength));
    const Reply answer = device->handle(header, data);
    Transmission late{sent.atMs + kBusyAnswerMs, encode(answer, destination, false, *member), false,
                      framing.crc};
    out.push_back(std::move(sent));
    out.push_back(std::move(late));
    return;
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
