// Reading a reply: the echo, the reply's head, its body, and the search for a reply in noise;
// and the gathering of address-poll and clash answers.
#include <algorithm>

#include "quennet/link/frame_decode.h"
#include "quennet/link/link_engine_p.h"

namespace quennet {

namespace {

// Answers an address poll or clash keeps.
constexpr int kCollectAllEnough = 12;
// A device answers an address poll or clash 4 ms per unit of its address after the poll; an
// answer may come this much earlier (a device's clock, the host's own send time) and no more.
constexpr int kEarliestAnswerPerAddressMs = 4;
constexpr int kAnswerSlackMs = 4;
// ... and this much later (the poll's own time on the wire, the device's turnaround, a USB
// adapter's latency timer, the host's wake-up); a byte later than that is not that device.
constexpr int kAnswerLateMs = 60;

QString timeoutCaption(int count) {
  return captionOf(Failure::Timeout, count);
}

QString echoCaption(int differs) {
  return captionOf(Failure::EchoMismatch, differs);
}

}  // namespace

std::int16_t ReplyReader::read() {
  enter(e_.EchoLength > 0 ? ReplyPhase::Echo : ReplyPhase::Header);
  for (;;) {
    Step done;
    switch (e_.tx.outcome.phase) {
      case ReplyPhase::Echo:
        done = readEcho();
        break;
      case ReplyPhase::Header:
        done = readHeader();
        break;
      case ReplyPhase::Body:
        done = readBody();
        break;
      case ReplyPhase::Resync:
        return resynchronise();
    }
    if (done) return *done;
  }
}

ReplyReader::Step ReplyReader::readEcho() {
  // The echo starts with the device's address, a reply with the host's: on a line that does not
  // echo after all (separate receive and transmit wires), the reply comes first.
  SerialLine& line = *e_.line;
  const int echoLength = e_.EchoLength;
  if (!e_.waitFor(1, deadline_)) return e_.lineFailed();
  if (line.bytesAvailable() > 0) head_ = line.read(1);
  if (!head_.isEmpty() && static_cast<std::uint8_t>(head_[0]) == kHostAddress &&
      static_cast<std::uint8_t>(e_.written[0]) != kHostAddress) {
    return replyWithoutEcho();
  }
  // The echo and the reply's first two bytes are waited for together: a line that falls silent
  // within them is a time-out, whatever the echo held.
  const int expected = echoLength + 2;
  if (!e_.waitFor(expected - static_cast<int>(head_.size()), deadline_)) return e_.lineFailed();
  const int waiting = line.bytesAvailable() + static_cast<int>(head_.size());
  if (waiting < expected) return headerTimedOut(waiting);
  headerWaited_ = true;
  // The echo is what the line carried: a changed byte means the device may have heard another
  // frame than the one sent.
  e_.tx.outcome.echoHeard = true;
  const int differs = echoDifference(head_ + line.read(echoLength - 1), e_.written);
  if (differs != 0) {
    e_.storeReply(line.read(2), 1);
    ++e_.statistics.echoMismatches;
    return e_.refuse(Failure::EchoMismatch, echoCaption(differs));
  }
  enter(ReplyPhase::Header);
  return std::nullopt;
}

std::int16_t ReplyReader::headerTimedOut(int waiting) {
  const int echoLength = e_.EchoLength;
  const QByteArray came = head_ + e_.line->read(e_.line->bytesAvailable());
  if (came.size() >= echoLength) enter(ReplyPhase::Header);
  e_.tx.outcome.echoHeard =
      echoLength > 0 && echoDifference(came.left(echoLength), e_.written) == 0;
  // The trace keeps the reply byte that did come, if any.
  e_.storeReply(came.mid(echoLength), 1);
  const std::int16_t code = e_.fail(kResultTimeout, timeoutCaption(waiting - echoLength));
  QuietLineWaiter::drainAfterTimeout(*e_.line, e_.statistics);
  return code;
}

ReplyReader::Step ReplyReader::readHeader() {
  SerialLine& line = *e_.line;
  if (!headerWaited_) {
    if (!e_.waitFor(2, deadline_)) return e_.lineFailed();
    if (const int waiting = line.bytesAvailable(); waiting < 2) return headerTimedOut(waiting);
  }
  got_ = line.read(2);
  if (static_cast<std::uint8_t>(got_[0]) != kHostAddress) {
    enter(ReplyPhase::Resync);
    return std::nullopt;
  }
  e_.storeReply(got_, 1);
  if (const int dataLength = e_.ReplyBuffer.at(2); dataLength > kMaxDataLength) {
    return e_.refuse(Failure::TooLong, captionOf(Failure::TooLong, dataLength));
  }
  enter(ReplyPhase::Body);
  return std::nullopt;
}

ReplyReader::Step ReplyReader::readBody() {
  // The rest of the frame. A sender leaves at most one inter-byte gap between its bytes; a frame
  // cut by a longer silence is dropped, as every receiver on the line drops it.
  SerialLine& line = *e_.line;
  const int remaining = e_.ReplyBuffer.at(2) + 3;
  bool cut = false;
  for (int have = line.bytesAvailable(); have < remaining && !deadline_.hasExpired();) {
    QDeadlineTimer gap(kQuietGapMs, Qt::PreciseTimer);
    if (deadline_ < gap) gap = deadline_;
    if (!e_.waitFor(have + 1, gap)) return e_.lineFailed();
    const int now = line.bytesAvailable();
    if (now == have) {
      cut = !deadline_.hasExpired();
      break;
    }
    have = now;
  }
  const int arrived = line.bytesAvailable();
  const QByteArray rest = line.read(std::min(arrived, remaining));
  e_.storeReply(rest, 3);
  if (arrived < remaining) {
    // A length byte of line noise that promised more than came: a reply may follow it.
    const QByteArray all = got_ + rest;
    const int at = e_.codec().findReply(all, 1);
    if (at >= 0) {
      e_.statistics.ignoredBytes += at;
      e_.clearReply();
      e_.storeReply(all.mid(at, static_cast<std::uint8_t>(all[at + 1]) + 5), 1);
      return e_.acceptReply(replyArray_, fewestData_);
    }
    // Given up at the gap: a reply may still follow within the time-out.
    if (cut) {
      got_.clear();
      given_ = all;
      enter(ReplyPhase::Resync);
      return std::nullopt;
    }
    const std::int16_t code = e_.fail(kResultTimeout, timeoutCaption(arrived + 2));
    QuietLineWaiter::drainAfterTimeout(line, e_.statistics);
    return code;
  }
  // Bytes after the frame are not part of this reply: let the line settle before the next one.
  if (arrived > remaining) e_.tx.trailing = true;
  return e_.acceptReply(replyArray_, fewestData_);
}

std::int16_t ReplyReader::resynchronise() {
  // A reply starts with the host's address, a length no more than 251 and a checksum that
  // verifies; whatever comes before one is line noise. Noise does not end the wait: a device
  // takes 10 to 50 ms to answer, some commands far longer, and its reply may follow a glitch.
  // The frame just written, come back on a line the host was told does not echo, is the echo.
  // No frame spans a silence longer than the inter-byte gap: bytes before one are given up.
  SerialLine& line = *e_.line;
  const FrameCodec codec = e_.codec();
  const QByteArray& written = e_.written;
  LinkStatistics& statistics = e_.statistics;
  int echoed = 0;
  QElapsedTimer sinceByte;
  sinceByte.start();
  for (;;) {
    const int at = codec.findReply(got_, 0);
    if (at >= 0) {
      statistics.ignoredBytes += echoed + static_cast<int>(given_.size()) + at;
      const int length = static_cast<std::uint8_t>(got_[at + 1]) + 5;
      if (got_.size() > at + length || line.bytesAvailable() > 0) e_.tx.trailing = true;
      e_.clearReply();
      e_.storeReply(got_.mid(at, length), 1);
      return e_.acceptReply(replyArray_, fewestData_);
    }
    if (echoed == 0 && got_.startsWith(written)) {
      e_.tx.outcome.echoHeard = true;
      echoed = static_cast<int>(written.size());
      got_.remove(0, echoed);
    } else if (const DecodedFrame front = decodeFrame(byteSpan(got_), codec.crc);
               front.checksumOk && !codec.encrypted) {
      // A whole frame that verifies but is addressed elsewhere is a misaligned read, not noise.
      e_.storeReply(got_, 1);
      statistics.ignoredBytes += echoed;
      return e_.refuse(Failure::Address, captionOf(Failure::Address, front.destination));
    }
    if (deadline_.hasExpired() || got_.size() >= 2 * FrameBuffer::kSize) break;
    const QDeadlineTimer wait =
        deadline_.isForever() ? QDeadlineTimer(kQuietGapMs, Qt::PreciseTimer) : deadline_;
    if (!e_.waitFor(1, wait)) return e_.lineFailed();
    if (line.bytesAvailable() == 0) break;
    if (sinceByte.elapsed() > kQuietGapMs) {
      given_ += got_;
      got_.clear();
    }
    got_ += line.read(line.bytesAvailable());
    sinceByte.start();
  }
  if (got_.isEmpty() && (echoed > 0 || !given_.isEmpty())) {
    // The echo came, or a reply cut short, and nothing after it: the device did not answer.
    statistics.ignoredBytes += echoed;
    return e_.fail(kResultTimeout, timeoutCaption(static_cast<int>(given_.size())));
  }
  got_.prepend(given_);
  e_.clearReply();
  e_.storeReply(got_, 1);
  statistics.ignoredBytes += echoed + static_cast<int>(got_.size());
  ++statistics.garbledReplies;
  return e_.refuse(Failure::Garbled, captionOf(Failure::Garbled, QString::number(got_.size())));
}

std::int16_t ReplyReader::replyWithoutEcho() {
  // A line with separate receive and transmit wires gives no echo, and the device's reply comes
  // first. Only a whole reply that verifies, from the device asked, is taken for that: noise
  // before a changed echo, or an echo whose first byte was changed to the host's address, is
  // what the line carried instead of the frame, and a reply that was on the line before the
  // frame had left (or that the echo follows) answers an earlier command.
  enter(ReplyPhase::Header);
  SerialLine& line = *e_.line;
  const QByteArray& written = e_.written;
  QByteArray got = head_;
  int total = 5;
  while (got.size() < total) {
    QDeadlineTimer gap(kQuietGapMs, Qt::PreciseTimer);
    if (deadline_ < gap) gap = deadline_;
    if (!e_.waitFor(total - static_cast<int>(got.size()), gap)) return e_.lineFailed();
    const int waiting = line.bytesAvailable();
    if (waiting == 0) break;
    got += line.read(std::min(waiting, total - static_cast<int>(got.size())));
    if (got.size() >= 2) total = static_cast<std::uint8_t>(got[1]) + 5;
  }
  const std::uint8_t asked = e_.CommandBuffer.at(1);
  const FrameCodec codec = e_.codec();
  bool whole = got.size() == total && codec.findReply(got, 0) == 0;
  if (whole && !codec.crc && asked != kBroadcastAddress) {
    whole = static_cast<std::uint8_t>(got[2]) == asked;
  }
  if (whole && e_.tx.earlyBytes == 0) {
    // The echo behind it: the line does echo, and this reply came before the frame.
    const int behind = std::min<int>(line.bytesAvailable(), static_cast<int>(written.size()));
    const QByteArray after = behind > 0 ? line.read(behind) : QByteArray();
    if (after.isEmpty() || !written.startsWith(after)) {
      if (!after.isEmpty()) e_.tx.trailing = true;
      e_.storeReply(got, 1);
      e_.tx.outcome.echoMissing = true;
      const std::int16_t code = e_.acceptReply(replyArray_, fewestData_);
      if (e_.tx.replyTaken) ++e_.statistics.missingEchoes;
      return code;
    }
    got += after;
  }
  e_.storeReply(got, 1);
  ++e_.statistics.echoMismatches;
  return e_.refuse(Failure::EchoMismatch, echoCaption(echoDifference(got, written)));
}

std::int16_t ReplyReader::collect() {
  // Each device waits four milliseconds per unit of its address, then sends one byte: its
  // address to a poll, a random value to a clash. A poll's byte that arrives well before or
  // after its address's slot (line noise, a frame someone sent) is no answer, and neither are 0
  // (broadcast) and 1 (the host). A clash's byte says nothing about its sender, so every byte
  // after the echo counts. Twelve answers fill the collection; with that many the window runs
  // to its end, so that more are counted, never dropped unseen.
  SerialLine& line = *e_.line;
  const int echoLength = e_.EchoLength;
  const bool poll = e_.tx.requestHeader == ADDRESS_POLL;
  QByteArray echo;
  QByteArray heard;
  QByteArray answers;
  int seen = 0;
  enter(echoLength > 0 ? ReplyPhase::Echo : ReplyPhase::Body);
  while (!deadline_.hasExpired()) {
    if (!e_.waitFor(1, deadline_)) return e_.lineFailed();
    const int waiting = line.bytesAvailable();
    if (waiting == 0) break;
    const qint64 atMs = e_.tx.sentClock.elapsed();
    QByteArray bytes = line.read(waiting);
    const int forEcho = std::min<int>(echoLength - static_cast<int>(echo.size()), bytes.size());
    echo += bytes.left(forEcho);
    bytes.remove(0, forEcho);
    if (echo.size() == echoLength) enter(ReplyPhase::Body);
    heard += bytes;
    for (const char c : bytes) {
      const int value = static_cast<std::uint8_t>(c);
      const qint64 slot = kEarliestAnswerPerAddressMs * value;
      if (poll &&
          (value <= kHostAddress || atMs < slot - kAnswerSlackMs || atMs > slot + kAnswerLateMs)) {
        ++e_.statistics.ignoredBytes;
        continue;
      }
      ++seen;
      if (answers.size() < kCollectAllEnough) answers += c;
    }
  }
  e_.storeReply(heard, 1);
  if (const int differs = echoDifference(echo, e_.written); echoLength > 0 && differs != 0) {
    ++e_.statistics.echoMismatches;
    return e_.refuse(Failure::EchoMismatch, echoCaption(differs));
  }
  e_.tx.collected = seen;
  if (seen == 0) {
    const int count = echo.size() < echoLength ? static_cast<int>(echo.size()) - echoLength : 0;
    return e_.fail(kResultTimeout, timeoutCaption(count));
  }
  // What fits is kept, in arrival order; the caller learns of the rest by the overflow code.
  const auto count = static_cast<int>(answers.size());
  const int delivered = std::min(count, static_cast<int>(replyArray_.size()));
  e_.tx.delivered = delivered;
  for (int i = 0; i < delivered; ++i) {
    replyArray_[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(answers[i]);
  }
  if (seen > delivered) {
    return e_.refuse(Failure::Overflow, captionOf(Failure::Overflow, seen));
  }
  e_.tx.acknowledged = true;
  e_.show(failureText(Failure::None));
  return kResultOk;
}

}  // namespace quennet
