// Fuzzes the virtual validator's bus: host bytes in arbitrary chunks, with the line options
// changed between chunks, go through framing, checksum or CRC, decryption and every device's
// commands. A small framer of our own predicts where frames end, so the bus's replies can be held
// to that: each reply a well-formed frame to the host, at most one per frame, echo exactly the
// bytes of frames begun while echo was on. Input: byte 0 the line options; then chunks, each a
// control byte (bits 0-4 the length, bit 5 new line options in the next byte, bit 6 re-apply the
// line as it stands, bit 7 a pause long enough to drop a partial frame) and its bytes.
#include <cstdint>
#include <cstdio>
#include <span>
#include <vector>

#include "bnvsim/bus.h"
#include "bnvsim/coin_acceptor.h"
#include "bnvsim/hopper.h"
#include "bnvsim/validator.h"
#include "quennet/link/encryption.h"
#include "quennet/link/frame.h"

namespace {

// Names the broken invariant's line before the fuzzer records the input.
void check(bool condition, int line = __builtin_LINE()) {
  if (condition) return;
  std::fprintf(stderr, "invariant broken at line %d\n", line);
  __builtin_trap();
}

bnvsim::LineOptions lineFrom(std::uint8_t bits, const QString& key) {
  bnvsim::LineOptions line;
  line.echo = (bits & 1) != 0;
  line.crc = (bits & 2) != 0;
  line.encryption = (bits & 4) != 0;
  line.key = key;
  return line;
}

// Where frames end, from the length byte alone, as a host-side receiver would see it; and which
// bytes come back as echo, decided for a whole frame by the line as the frame starts.
struct Framer {
  std::vector<std::uint8_t> pending;
  bool echoFrame = false;
  std::vector<std::uint8_t> destinations;  // of the frames the last feed completed
  std::vector<std::uint8_t> echo;          // what the last feed should have echoed

  void feed(std::span<const std::uint8_t> bytes, bool lineEcho) {
    destinations.clear();
    echo.clear();
    for (std::uint8_t byte : bytes) {
      if (pending.empty()) echoFrame = lineEcho;
      pending.push_back(byte);
      if (echoFrame) echo.push_back(byte);
      if (pending.size() >= 2 && pending.size() == pending[1] + 5U) {
        destinations.push_back(pending[0]);
        pending.clear();
      }
    }
  }
};

// A reply frame as the host checks it. A key change answers under the old key, so an encrypted
// reply is checked against the key from before the chunk only when the chunk held one frame.
void checkReply(const std::vector<std::uint8_t>& bytes, const bnvsim::LineOptions& line,
                bool singleFrame) {
  check(bytes.size() >= 5 && bytes.size() == bytes[1] + 5U);
  check(bytes[0] == bnvsim::kHostAddress);
  quennet::FrameBuffer frame;
  for (std::size_t i = 0; i < bytes.size(); ++i) frame.at(1 + static_cast<int>(i)) = bytes[i];
  const int last = static_cast<int>(bytes.size());
  if (!line.crc) return check(quennet::Checksum8(frame) == frame.at(last));
  if (line.encryption) {
    if (!singleFrame) return;
    quennet::DecryptReply(frame, quennet::keyDigitsFromCode(quennet::keyCodeFromText(line.key)));
  }
  check(quennet::Crc16(frame) == frame.at(last) * 256 + frame.at(3));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  bnvsim::Validator validator(40, (data[0] & 8) != 0);
  bnvsim::Hopper hopper;
  bnvsim::CoinAcceptor coinAcceptor;
  bnvsim::Bus bus(lineFrom(data[0], QStringLiteral("582604")));
  bus.attach(&validator);
  if (data[0] & 16) bus.attach(&hopper);
  if (data[0] & 32) bus.attach(&coinAcceptor);
  const std::size_t devices = 1 + ((data[0] & 16) ? 1 : 0) + ((data[0] & 32) ? 1 : 0);
  bus.setTraceSink([](const QString& line) { check(!line.isEmpty()); });

  Framer framer;
  double now = 0;
  std::size_t at = 1;
  while (at < size) {
    const std::uint8_t control = data[at++];
    if ((control & 32) && at < size) {
      bus.setLineOptions(lineFrom(data[at++], bus.lineOptions().key));
    }
    // What the console does for any line change: the line as it stands, handed back.
    if (control & 64) bus.setLineOptions(bus.lineOptions());
    if (control & 128) {
      now += bnvsim::kInterByteGapMs + 1;
      bus.expireGap(now);
      framer.pending.clear();
    }
    const std::size_t length = std::min<std::size_t>(control & 31, size - at);
    const std::span<const std::uint8_t> chunk(data + at, length);
    at += length;

    const bnvsim::LineOptions line = bus.lineOptions();
    const int framesBefore = bus.framesReceived();
    framer.feed(chunk, line.echo);
    const std::vector<std::uint8_t>& destinations = framer.destinations;
    const std::vector<bnvsim::Transmission> out = bus.receive(chunk, now);
    check(bus.framesReceived() - framesBefore == static_cast<int>(destinations.size()));
    check(bus.gapDeadline().has_value() == !framer.pending.empty());

    std::vector<std::uint8_t> echoed;
    std::size_t replies = 0;
    std::size_t broadcastAnswers = 0;
    std::size_t frame = 0;  // replies follow their frames in order; some frames get none
    for (const bnvsim::Transmission& t : out) {
      check(t.atMs >= now);
      if (t.echo) {
        echoed.insert(echoed.end(), t.bytes.begin(), t.bytes.end());
      } else if (t.bytes.size() == 1) {
        ++broadcastAnswers;
      } else {
        checkReply(t.bytes, line, destinations.size() == 1);
        if (!line.crc) {
          // The 8-bit frame names its source: the address a frame was sent to.
          while (frame < destinations.size() && destinations[frame] != t.bytes[2]) ++frame;
          check(frame++ < destinations.size());
        }
        ++replies;
      }
    }
    check(replies <= destinations.size());
    check(broadcastAnswers <= devices * destinations.size());
    check(echoed == framer.echo);
    // The line's key text must describe the key in use, or handing the line back changes it.
    const QString key = bus.lineOptions().key;
    check(quennet::keyTextFromCode(quennet::keyCodeFromText(key)) == key);
  }
  return 0;
}
