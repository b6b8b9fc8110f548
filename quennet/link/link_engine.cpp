#include "quennet/link/link_engine.h"

#include <algorithm>
#include <array>

#include "quennet/link/frame_decode.h"
#include "quennet/link/protocol.h"
#include "quennet/link/quennet_error.h"

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
constexpr int kTimeoutBytePauseMs = 4;
// The longest gap between the bytes of one frame; a line quiet this long carries no frame.
constexpr int kQuietGapMs = kInterByteGapMs;
// A line that never falls quiet fails the command after this long (a 256-byte frame takes
// 267 ms at 9600 baud, so no stale reply lasts this long).
constexpr int kQuietLimitMs = 1000;

// The 1-based position of the first byte where the echo differs from the frame written; 0 when
// they agree.
int echoDifference(const QByteArray& echo, const QByteArray& written) {
  for (int i = 0; i < written.size(); ++i) {
    if (i >= echo.size() || echo[i] != written[i]) return i + 1;
  }
  return 0;
}

QString timeoutCaption(int count) {
  return QStringLiteral("Timeout Error [%1]").arg(count);
}

// Says what came instead of the data: the number of data bytes, or the empty reply's kind.
QString shortReplyCaption(int dataLength, std::uint8_t header) {
  QString what = QString::number(dataLength);
  if (dataLength == 0 && header == kHeaderAck) what = QLatin1String(kAckText);
  if (dataLength == 0 && header == kHeaderNak) what = QLatin1String(kNakText);
  return QStringLiteral("Reply Too Short [%1]").arg(what);
}

}  // namespace

LinkEngine::LinkEngine() = default;
LinkEngine::~LinkEngine() = default;

void LinkEngine::setLine(std::unique_ptr<SerialLine> line) {
  line_ = std::move(line);
}

void LinkEngine::showCaption(const QString& caption) {
  caption_ = caption;
  if (captionSink_) captionSink_(caption);
}

QByteArray LinkEngine::BuildFrame() {
  const int last = CommandBuffer.dataLength() + 5;
  if (!crcMode()) {
    CommandBuffer.at(3) = 1;
    std::uint8_t checksum = Checksum8(CommandBuffer);
    if (makeChksmError_) checksum ^= 1;
    CommandBuffer.at(last) = checksum;
  } else {
    // A corrupted CRC of 0xFFFF wraps to 0x0000 so it still fits its two bytes.
    std::uint32_t crc = static_cast<std::uint32_t>(Crc16(CommandBuffer));
    if (makeChksmError_) crc = (crc + 1) & 0xFFFF;
    CommandBuffer.at(3) = static_cast<std::uint8_t>(crc & 0xFF);
    CommandBuffer.at(last) = static_cast<std::uint8_t>(crc >> 8);
    if (encryption_) EncryptFrame(CommandBuffer, keyDigits_);
  }
  const auto bytes = CommandBuffer.first(last);
  return QByteArray(reinterpret_cast<const char*>(bytes.data()), static_cast<qsizetype>(last));
}

bool LinkEngine::CheckReply(QString* errorText) const {
  if (!crcMode()) {
    const unsigned computed = Checksum8(ReplyBuffer);
    const unsigned received = ReplyBuffer.at(ReplyLength);
    if (computed == received) return true;
    if (errorText)
      *errorText = QStringLiteral("Checksum Error ") + hexText(computed) + QStringLiteral(" <> ") +
                   hexText(received);
    return false;
  }
  const unsigned received = ReplyBuffer.at(ReplyLength) * 256U + ReplyBuffer.at(3);
  const unsigned computed = static_cast<unsigned>(Crc16(ReplyBuffer));
  if (computed == received) return true;
  if (errorText)
    *errorText = QStringLiteral("Checksum Error ") + hexText(received) + QStringLiteral(" <> ") +
                 hexText(computed);
  return false;
}

std::int16_t LinkEngine::Transact(std::span<std::uint8_t> replyArray, std::int32_t timeoutMs,
                                  bool collectAll, int fewestData) {
  return transact(replyArray, timeoutMs, collectAll, ReplyShape{.fewestData = fewestData});
}

std::int16_t LinkEngine::transact(std::span<std::uint8_t> replyArray, std::int32_t timeoutMs,
                                  bool collectAll, const ReplyShape& shape) {
  // A handler run during our wait must not interleave a second frame on the line.
  if (busy_) {
    throw QuennetError(kErrCantPerformOperation,
                       QStringLiteral("A transaction is already in progress"));
  }
  delivered_ = 0;
  last_ = {};
  acknowledged_ = false;
  collected_ = 0;
  dropped_.clear();
  shape_ = shape;
  earlyBytes_ = 0;
  if (!portOpen()) return kResultNotEnabled;
  busy_ = true;
  last_.ran = true;
  sentClock_.invalidate();
  replyTaken_ = false;
  std::int16_t result = kResultOk;
  try {
    result = runTransaction(replyArray, timeoutMs, collectAll, shape.fewestData);
  } catch (...) {
    busy_ = false;
    throw;
  }
  busy_ = false;
  if (!replyTaken_) {
    // No whole frame was read: the reply holds the bytes as they came, none decrypted.
    const auto received = ReplyBuffer.first(ReplyLength);
    replyWire_ = QByteArray(reinterpret_cast<const char*>(received.data()), ReplyLength);
    replyClear_ = replyWire_;
  }
  messageTime_ = sentClock_.isValid() ? static_cast<std::int32_t>(sentClock_.elapsed()) : 0;
  if (last_.frameSent && portOpen()) {
    // What the next write waits for: without a reply taken (a time-out, noise, a reply that
    // cannot be taken, which may be an earlier command's, and BUSY, which a device may follow
    // with its real answer) the device's own reply may still come; a reply taken may be followed
    // by the rest of what came with it, or come again on a line set to guard against that.
    lastHeard_.start();
    if (result != kResultOk) {
      quietSpanMs_ = timeoutMs;
    } else {
      quietSpanMs_ = trailing_ ? kQuietGapMs : repeatGuardMs_;
    }
  }
  if (frameObserver_) logTransaction(result);
  return result;
}

std::int16_t LinkEngine::fail(std::int16_t code, const QString& caption) {
  showCaption(caption);
  return code;
}

std::int16_t LinkEngine::refuse(ReplyRefusal why, const QString& caption) {
  last_.refusal = why;
  return fail(kResultChecksum, caption);
}

std::int16_t LinkEngine::lineFailed() {
  LineError error = line_->lastError();
  if (!error.isError()) error = LineError{kErrPortNotOpen, QStringLiteral("The port was closed")};
  line_->close();
  settle_ = true;
  showCaption(QStringLiteral("Comms Error: ") + error.description);
  if (lineFailureSink_) lineFailureSink_(error);
  return kResultNotEnabled;
}

bool LinkEngine::transmit(const QByteArray& frame) {
  if (!makeTimeoutError_) return line_->write(frame);
  for (char byte : frame) {
    if (!line_->write(QByteArray(1, byte))) return false;
    line_->pause(kTimeoutBytePauseMs);
    if (!line_->isOpen()) return false;
  }
  return true;
}

bool LinkEngine::waitFor(int count, const QDeadlineTimer& deadline) {
  while (line_->isOpen() && !line_->lastError().isError() && line_->bytesAvailable() < count &&
         !deadline.hasExpired() && !line_->silentUntilWrite()) {
    line_->waitForBytes(count, deadline);
  }
  return line_->isOpen() && !line_->lastError().isError();
}

std::int16_t LinkEngine::settleLine() {
  // ccTalk frames carry no sequence number: whatever arrives once a frame is out reads as its
  // answer. So a frame goes out only when the line has been quiet for the span the last
  // transaction left: its time-out after a failure or BUSY, as the device's own reply may still
  // come; one inter-byte gap on a port just opened or after a reply with bytes behind it; after
  // a good reply nothing, or the repeat guard where one is set. A byte heard meanwhile is dropped
  // and starts the span again. A line that never falls quiet fails the command after
  // kQuietLimitMs more.
  if (settle_) {
    settle_ = false;
    quietSpanMs_ = kQuietGapMs;
    lastHeard_.start();
  }
  if (!lastHeard_.isValid()) return kResultOk;
  const QDeadlineTimer limit(quietSpanMs_ + kQuietLimitMs, Qt::PreciseTimer);
  for (;;) {
    dropInput();
    const qint64 left = quietSpanMs_ - lastHeard_.elapsed();
    if (left <= 0 || line_->silentUntilWrite()) return kResultOk;
    if (limit.hasExpired()) {
      return fail(kResultTimeout, QStringLiteral("Line Not Quiet [%1]").arg(dropped_.size()));
    }
    if (!waitFor(1, QDeadlineTimer(left, Qt::PreciseTimer))) return lineFailed();
  }
}

void LinkEngine::dropInput() {
  if (const int waiting = line_->bytesAvailable(); waiting > 0) {
    const QByteArray bytes = line_->read(waiting);
    dropped_ += bytes;
    statistics_.ignoredBytes += static_cast<int>(bytes.size());
    lastHeard_.start();
  }
  line_->discard();
}

void LinkEngine::drainAfterTimeout() {
  const QDeadlineTimer limit(kQuietLimitMs, Qt::PreciseTimer);
  for (;;) {
    statistics_.ignoredBytes += line_->bytesAvailable();
    line_->discard();
    if (!waitFor(1, QDeadlineTimer(kQuietGapMs, Qt::PreciseTimer))) return;
    // Quiet for one gap, or a babbling line left for the next command's own wait.
    if (line_->bytesAvailable() == 0 || limit.hasExpired()) return;
  }
}

void LinkEngine::storeReply(const QByteArray& bytes, int position) {
  const int count = std::min(static_cast<int>(bytes.size()), FrameBuffer::kSize - position + 1);
  for (int i = 0; i < count; ++i)
    ReplyBuffer.at(position + i) = static_cast<std::uint8_t>(bytes[i]);
  ReplyLength = static_cast<std::int16_t>(std::max<int>(ReplyLength, position + count - 1));
}

std::int16_t LinkEngine::runTransaction(std::span<std::uint8_t> replyArray, std::int32_t timeoutMs,
                                        bool collectAll, int fewestData) {
  showCaption(QStringLiteral("Xmit Command <%1>").arg(CommandBuffer.at(4)));
  ReplyBuffer.clear();
  ReplyLength = 0;
  requestHeader_ = CommandBuffer.at(4);
  trailing_ = false;
  const QByteArray frame = BuildFrame();
  written_ = frame;
  EchoLength = static_cast<std::int16_t>(commsEcho_ ? frame.size() : 0);
  if (const std::int16_t settled = settleLine(); settled != kResultOk) return settled;
  // Nothing that came before the frame answers it.
  dropInput();
  sentClock_.start();
  // A write the port refused put nothing on the line.
  if (!transmit(frame)) return lineFailed();
  last_.frameSent = true;
  // Nor does anything that came while it was leaving: no device had read it yet. Without an echo
  // those bytes are dropped; on a line that echoes they come with the echo, which tells them
  // apart (the echo check below).
  const int early = line_->waitUntilSent();
  if (early < 0) return lineFailed();
  earlyBytes_ = early;
  if (EchoLength == 0 && early > 0) {
    const QByteArray stale = line_->read(early);
    dropped_ += stale;
    statistics_.ignoredBytes += static_cast<int>(stale.size());
  }

  const QDeadlineTimer deadline(timeoutMs, Qt::PreciseTimer);
  return collectAll ? collectReply(replyArray, deadline)
                    : singleReply(replyArray, deadline, fewestData);
}

std::int16_t LinkEngine::collectReply(std::span<std::uint8_t> replyArray,
                                      const QDeadlineTimer& deadline) {
  // Each device waits four milliseconds per unit of its address, then sends one byte: its
  // address to a poll, a random value to a clash. A poll's byte that arrives well before or
  // after its address's slot (line noise, a frame someone sent) is no answer, and neither are 0
  // (broadcast) and 1 (the host). A clash's byte says nothing about its sender, so every byte
  // after the echo counts. Twelve answers fill the collection; with that many the window runs
  // to its end, so that more are counted, never dropped unseen.
  const bool poll = requestHeader_ == ADDRESS_POLL;
  QByteArray echo;
  QByteArray heard;
  QByteArray answers;
  int seen = 0;
  while (!deadline.hasExpired()) {
    if (!waitFor(1, deadline)) return lineFailed();
    const int waiting = line_->bytesAvailable();
    if (waiting == 0) break;
    const qint64 atMs = sentClock_.elapsed();
    QByteArray bytes = line_->read(waiting);
    const int forEcho = std::min<int>(EchoLength - static_cast<int>(echo.size()), bytes.size());
    echo += bytes.left(forEcho);
    bytes.remove(0, forEcho);
    heard += bytes;
    for (const char c : bytes) {
      const int value = static_cast<std::uint8_t>(c);
      const qint64 slot = kEarliestAnswerPerAddressMs * value;
      if (poll &&
          (value <= kHostAddress || atMs < slot - kAnswerSlackMs || atMs > slot + kAnswerLateMs)) {
        ++statistics_.ignoredBytes;
        continue;
      }
      ++seen;
      if (answers.size() < kCollectAllEnough) answers += c;
    }
  }
  storeReply(heard, 1);
  if (const int differs = echoDifference(echo, written_); EchoLength > 0 && differs != 0) {
    ++statistics_.echoMismatches;
    return refuse(ReplyRefusal::EchoMismatch, QStringLiteral("Echo Error [%1]").arg(differs));
  }
  collected_ = seen;
  if (seen == 0) {
    const int count = echo.size() < EchoLength ? static_cast<int>(echo.size()) - EchoLength : 0;
    return fail(kResultTimeout, timeoutCaption(count));
  }
  // What fits is kept, in arrival order; the caller learns of the rest by the overflow code.
  const auto count = static_cast<int>(answers.size());
  delivered_ = std::min(count, static_cast<int>(replyArray.size()));
  for (int i = 0; i < delivered_; ++i) {
    replyArray[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(answers[i]);
  }
  if (seen > delivered_) {
    return refuse(ReplyRefusal::Overflow, QStringLiteral("Reply Overflow [%1]").arg(seen));
  }
  acknowledged_ = true;
  showCaption(QStringLiteral("OK"));
  return kResultOk;
}

std::int16_t LinkEngine::singleReply(std::span<std::uint8_t> replyArray,
                                     const QDeadlineTimer& deadline, int fewestData) {
  // The echo starts with the device's address, a reply with the host's: on a line that does not
  // echo after all (separate receive and transmit wires), the reply comes first.
  QByteArray head;
  if (EchoLength > 0) {
    if (!waitFor(1, deadline)) return lineFailed();
    if (line_->bytesAvailable() > 0) head = line_->read(1);
    if (!head.isEmpty() && static_cast<std::uint8_t>(head[0]) == kHostAddress &&
        static_cast<std::uint8_t>(written_[0]) != kHostAddress) {
      return replyWithoutEcho(replyArray, deadline, fewestData, head);
    }
  }
  const int expected = EchoLength + 2;
  if (!waitFor(expected - static_cast<int>(head.size()), deadline)) return lineFailed();
  const int waiting = line_->bytesAvailable() + static_cast<int>(head.size());
  if (waiting < expected) {
    const QByteArray came = head + line_->read(line_->bytesAvailable());
    last_.echoHeard = EchoLength > 0 && echoDifference(came.left(EchoLength), written_) == 0;
    // The trace keeps the reply byte that did come, if any.
    storeReply(came.mid(EchoLength), 1);
    const std::int16_t code = fail(kResultTimeout, timeoutCaption(waiting - EchoLength));
    drainAfterTimeout();
    return code;
  }
  if (EchoLength > 0) {
    // The echo is what the line carried: a changed byte means the device may have heard another
    // frame than the one sent.
    last_.echoHeard = true;
    const int differs = echoDifference(head + line_->read(EchoLength - 1), written_);
    if (differs != 0) {
      storeReply(line_->read(2), 1);
      ++statistics_.echoMismatches;
      return refuse(ReplyRefusal::EchoMismatch, QStringLiteral("Echo Error [%1]").arg(differs));
    }
  }
  QByteArray got = line_->read(2);
  if (static_cast<std::uint8_t>(got[0]) != kHostAddress) {
    return resynchronise(replyArray, deadline, fewestData, got);
  }
  storeReply(got, 1);
  const int dataLength = ReplyBuffer.at(2);
  if (dataLength > kMaxDataLength) {
    return refuse(ReplyRefusal::TooLong, QStringLiteral("Reply Too Long [%1]").arg(dataLength));
  }

  // The rest of the frame. A sender leaves at most one inter-byte gap between its bytes; a frame
  // cut by a longer silence is dropped, as every receiver on the line drops it.
  const int remaining = dataLength + 3;
  bool cut = false;
  for (int have = line_->bytesAvailable(); have < remaining && !deadline.hasExpired();) {
    QDeadlineTimer gap(kQuietGapMs, Qt::PreciseTimer);
    if (deadline < gap) gap = deadline;
    if (!waitFor(have + 1, gap)) return lineFailed();
    const int now = line_->bytesAvailable();
    if (now == have) {
      cut = !deadline.hasExpired();
      break;
    }
    have = now;
  }
  const int arrived = line_->bytesAvailable();
  const QByteArray rest = line_->read(std::min(arrived, remaining));
  storeReply(rest, 3);
  if (arrived < remaining) {
    // A length byte of line noise that promised more than came: a reply may follow it.
    const QByteArray all = got + rest;
    const int at = findReply(all, 1);
    if (at >= 0) {
      statistics_.ignoredBytes += at;
      ReplyBuffer.clear();
      ReplyLength = 0;
      storeReply(all.mid(at, static_cast<std::uint8_t>(all[at + 1]) + 5), 1);
      return acceptReply(replyArray, fewestData);
    }
    // Given up at the gap: a reply may still follow within the time-out.
    if (cut) return resynchronise(replyArray, deadline, fewestData, QByteArray(), all);
    const std::int16_t code = fail(kResultTimeout, timeoutCaption(arrived + 2));
    drainAfterTimeout();
    return code;
  }
  // Bytes after the frame are not part of this reply: let the line settle before the next one.
  if (arrived > remaining) trailing_ = true;
  return acceptReply(replyArray, fewestData);
}

int LinkEngine::findReply(const QByteArray& bytes, int from) const {
  const int size = static_cast<int>(bytes.size());
  for (int at = std::max(from, 0); at + 5 <= size; ++at) {
    if (static_cast<std::uint8_t>(bytes[at]) != kHostAddress) continue;
    const int length = static_cast<std::uint8_t>(bytes[at + 1]) + 5;
    if (length - 5 > kMaxDataLength || at + length > size) continue;
    FrameBuffer frame;
    for (int i = 0; i < length; ++i) frame.at(i + 1) = static_cast<std::uint8_t>(bytes[at + i]);
    if (!crcMode()) {
      if (Checksum8(frame) == frame.at(length)) return at;
      continue;
    }
    if (encryption_) DecryptReply(frame, keyDigits_);
    if (static_cast<unsigned>(Crc16(frame)) == frame.at(length) * 256U + frame.at(3)) return at;
  }
  return -1;
}

std::int16_t LinkEngine::resynchronise(std::span<std::uint8_t> replyArray,
                                       const QDeadlineTimer& deadline, int fewestData,
                                       QByteArray got, QByteArray given) {
  // A reply starts with the host's address, a length no more than 251 and a checksum that
  // verifies; whatever comes before one is line noise. Noise does not end the wait: a device
  // takes 10 to 50 ms to answer, some commands far longer, and its reply may follow a glitch.
  // The frame just written, come back on a line the host was told does not echo, is the echo.
  // No frame spans a silence longer than the inter-byte gap: bytes before one are `given` up.
  int echoed = 0;
  QElapsedTimer sinceByte;
  sinceByte.start();
  for (;;) {
    const int at = findReply(got, 0);
    if (at >= 0) {
      statistics_.ignoredBytes += echoed + static_cast<int>(given.size()) + at;
      const int length = static_cast<std::uint8_t>(got[at + 1]) + 5;
      if (got.size() > at + length || line_->bytesAvailable() > 0) trailing_ = true;
      ReplyBuffer.clear();
      ReplyLength = 0;
      storeReply(got.mid(at, length), 1);
      return acceptReply(replyArray, fewestData);
    }
    if (echoed == 0 && got.startsWith(written_)) {
      last_.echoHeard = true;
      echoed = static_cast<int>(written_.size());
      got.remove(0, echoed);
    } else if (const DecodedFrame front = decodeFrame(byteSpan(got), crcMode());
               front.checksumOk && !(crcMode() && encryption_)) {
      // A whole frame that verifies but is addressed elsewhere is a misaligned read, not noise.
      storeReply(got, 1);
      statistics_.ignoredBytes += echoed;
      return refuse(ReplyRefusal::Address,
                    QStringLiteral("Reply Address Error [%1]").arg(front.destination));
    }
    if (deadline.hasExpired() || got.size() >= 2 * FrameBuffer::kSize) break;
    const QDeadlineTimer wait =
        deadline.isForever() ? QDeadlineTimer(kQuietGapMs, Qt::PreciseTimer) : deadline;
    if (!waitFor(1, wait)) return lineFailed();
    if (line_->bytesAvailable() == 0) break;
    if (sinceByte.elapsed() > kQuietGapMs) {
      given += got;
      got.clear();
    }
    got += line_->read(line_->bytesAvailable());
    sinceByte.start();
  }
  if (got.isEmpty() && (echoed > 0 || !given.isEmpty())) {
    // The echo came, or a reply cut short, and nothing after it: the device did not answer.
    statistics_.ignoredBytes += echoed;
    return fail(kResultTimeout, timeoutCaption(static_cast<int>(given.size())));
  }
  got.prepend(given);
  ReplyBuffer.clear();
  ReplyLength = 0;
  storeReply(got, 1);
  statistics_.ignoredBytes += echoed + static_cast<int>(got.size());
  ++statistics_.garbledReplies;
  return refuse(ReplyRefusal::Garbled, QStringLiteral("Garbled Reply [%1]").arg(got.size()));
}

std::int16_t LinkEngine::replyWithoutEcho(std::span<std::uint8_t> replyArray,
                                          const QDeadlineTimer& deadline, int fewestData,
                                          QByteArray got) {
  // A line with separate receive and transmit wires gives no echo, and the device's reply comes
  // first. Only a whole reply that verifies, from the device asked, is taken for that: noise
  // before a changed echo, or an echo whose first byte was changed to the host's address, is
  // what the line carried instead of the frame, and a reply that was on the line before the
  // frame had left (or that the echo follows) answers an earlier command.
  int total = 5;
  while (got.size() < total) {
    QDeadlineTimer gap(kQuietGapMs, Qt::PreciseTimer);
    if (deadline < gap) gap = deadline;
    if (!waitFor(total - static_cast<int>(got.size()), gap)) return lineFailed();
    const int waiting = line_->bytesAvailable();
    if (waiting == 0) break;
    got += line_->read(std::min(waiting, total - static_cast<int>(got.size())));
    if (got.size() >= 2) total = static_cast<std::uint8_t>(got[1]) + 5;
  }
  const std::uint8_t asked = CommandBuffer.at(1);
  bool whole = got.size() == total && findReply(got, 0) == 0;
  if (whole && !crcMode() && asked != kBroadcastAddress) {
    whole = static_cast<std::uint8_t>(got[2]) == asked;
  }
  if (whole && earlyBytes_ == 0) {
    // The echo behind it: the line does echo, and this reply came before the frame.
    const int behind = std::min<int>(line_->bytesAvailable(), static_cast<int>(written_.size()));
    const QByteArray after = behind > 0 ? line_->read(behind) : QByteArray();
    if (after.isEmpty() || !written_.startsWith(after)) {
      if (!after.isEmpty()) trailing_ = true;
      storeReply(got, 1);
      last_.echoMissing = true;
      const std::int16_t code = acceptReply(replyArray, fewestData);
      if (replyTaken_) ++statistics_.missingEchoes;
      return code;
    }
    got += after;
  }
  storeReply(got, 1);
  ++statistics_.echoMismatches;
  return refuse(ReplyRefusal::EchoMismatch,
                QStringLiteral("Echo Error [%1]").arg(echoDifference(got, written_)));
}

QString LinkEngine::replyCaption(const QString& caption) const {
  return last_.echoMissing ? QStringLiteral("%1 (%2)").arg(caption, QLatin1String(kNoEchoText))
                           : caption;
}

std::int16_t LinkEngine::acceptReply(std::span<std::uint8_t> replyArray, int fewestData) {
  const int dataLength = ReplyBuffer.at(2);
  const auto frame = ReplyBuffer.first(ReplyLength);
  replyTaken_ = true;
  replyWire_ = QByteArray(reinterpret_cast<const char*>(frame.data()), ReplyLength);
  if (encryption_ && crcMode()) DecryptReply(ReplyBuffer, keyDigits_);
  replyClear_ = QByteArray(reinterpret_cast<const char*>(frame.data()), ReplyLength);
  QString checkError;
  if (!CheckReply(&checkError)) return refuse(ReplyRefusal::Checksum, checkError);
  // Devices answer the host only. Anything else is a misaligned read (a lost echo byte makes
  // reply data look like a frame of zeros, whose CRC is zero too) and must not pass as a reply.
  if (ReplyBuffer.at(1) != kHostAddress) {
    return refuse(ReplyRefusal::Address,
                  QStringLiteral("Reply Address Error [%1]").arg(ReplyBuffer.at(1)));
  }
  // An 8-bit reply names its sender: only the device asked may answer (a broadcast has no
  // single device). CRC frames carry the CRC in that place.
  const std::uint8_t asked = CommandBuffer.at(1);
  if (!crcMode() && asked != kBroadcastAddress && ReplyBuffer.at(3) != asked) {
    ++statistics_.wrongSources;
    return refuse(ReplyRefusal::WrongSource,
                  QStringLiteral("Reply Source Error [%1]").arg(ReplyBuffer.at(3)));
  }

  const std::uint8_t header = ReplyBuffer.at(4);
  if (dataLength == 0 && header == kHeaderBusy) {
    return fail(kResultBusy, replyCaption(QStringLiteral("BUSY")));
  }
  const auto data = ReplyBuffer.first(dataLength + 4).subspan(4);
  const bool refusal = isRefusal(requestHeader_, data);
  // A command whose reply carries no data is not answered by data: such a reply is meant for
  // another command (a late or repeated one), unless it is the header's refusal.
  if (shape_.noData && dataLength > 0 && !refusal) {
    return refuse(ReplyRefusal::Unexpected, QStringLiteral("Unexpected Data [%1]").arg(dataLength));
  }
  // A text command shows a NAK as "NACK"; every other empty reply to a request for data, and a
  // byte command's NAK, is too short.
  const bool nak = dataLength == 0 && header == kHeaderNak && shape_.nakAnswers;
  const bool empty = dataLength == 0 && !nak;
  if (empty && (fewestData > 0 || shape_.exactData > 0)) {
    return refuse(ReplyRefusal::TooShort, shortReplyCaption(dataLength, header));
  }
  // A reply whose length is fixed is that long or it is not the answer.
  if (dataLength > 0 && shape_.exactData >= 0 && dataLength != shape_.exactData) {
    return refuse(
        ReplyRefusal::WrongLength,
        QStringLiteral("Reply Length Error [%1 <> %2]").arg(dataLength).arg(shape_.exactData));
  }
  if (dataLength < fewestData) {
    return refuse(ReplyRefusal::TooShort, shortReplyCaption(dataLength, header));
  }
  if (dataLength > 0) {
    if (dataLength > static_cast<int>(replyArray.size())) {
      return refuse(ReplyRefusal::Overflow, QStringLiteral("Reply Overflow [%1]").arg(dataLength));
    }
    for (int i = 0; i < dataLength; ++i) {
      replyArray[static_cast<std::size_t>(i)] = ReplyBuffer.at(i + 5);
    }
    delivered_ = dataLength;
    acknowledged_ = header == kHeaderAck && !refusal;
    showCaption(replyCaption(QStringLiteral("OK")));
    return kResultOk;
  }
  acknowledged_ = header == kHeaderAck;
  showCaption(replyCaption(header == kHeaderAck || header == kHeaderNak ? QStringLiteral("OK")
                                                                        : QStringLiteral("???")));
  return kResultOk;
}

std::int32_t LinkEngine::replyTimeoutFor(ReplyWait wait) const {
  const std::int32_t own = replyWaitMs(wait);
  if (replyTimeoutMs_ <= 0) return own;
  // A slow device gets the time set for every reply; the waits that are long by nature (the
  // stacker cycle, gathering address answers) are never cut short by it.
  if (wait == ReplyWait::Short || wait == ReplyWait::Data) return replyTimeoutMs_;
  return std::max(own, replyTimeoutMs_);
}

std::int16_t LinkEngine::TransactText(QString& response, std::int16_t expectedDataLen) {
  const std::int32_t timeout = replyTimeoutFor(
      longWait_ ? ReplyWait::Long : (expectedDataLen <= 0 ? ReplyWait::Short : ReplyWait::Data));
  longWait_ = false;
  std::array<std::uint8_t, FrameBuffer::kSize> scratch{};
  const HeaderInfo* info = headerInfo(CommandBuffer.at(4));
  const std::int16_t result = transact(scratch, timeout, false,
                                       ReplyShape{.exactData = info ? info->exactReplyData() : -1,
                                                  .noData = replyCarriesNoData(CommandBuffer.at(4)),
                                                  .nakAnswers = true});
  if (result != kResultOk) return result;
  const int dataLength = ReplyBuffer.at(2);
  if (dataLength > 0) {
    QString text;
    text.reserve(dataLength);
    for (int p = 5; p <= dataLength + 4; ++p) {
      // Small numbers read as digits; the replaced byte stays in the buffer for ReplyBack.
      if (ReplyBuffer.at(p) < 32)
        ReplyBuffer.at(p) = static_cast<std::uint8_t>(ReplyBuffer.at(p) + 48);
      text += QChar::fromLatin1(static_cast<char>(ReplyBuffer.at(p)));
    }
    response = text;
  } else {
    switch (ReplyBuffer.at(4)) {
      case kHeaderAck:
        response = QLatin1String(kAckText);
        break;
      case kHeaderNak:
        response = QLatin1String(kNakText);
        break;
      default:
        response = QStringLiteral("???");
    }
  }
  return kResultOk;
}

std::int16_t LinkEngine::TransactBytes(std::span<std::uint8_t> replyArray,
                                       std::int16_t expectedDataLen, int fewestData) {
  if (gathersAnswers(CommandBuffer.at(4))) {
    return Transact(replyArray, replyTimeoutFor(ReplyWait::Gather), true);
  }
  const int asked = std::max<int>(expectedDataLen, 0);
  const HeaderInfo* info = headerInfo(CommandBuffer.at(4));
  return transact(
      replyArray, replyTimeoutFor(asked == 0 ? ReplyWait::Short : ReplyWait::Data), false,
      ReplyShape{.fewestData = fewestData == kAllExpected ? asked : std::min(fewestData, asked),
                 .exactData = info && asked > 0 ? info->exactReplyData() : -1,
                 .noData = replyCarriesNoData(CommandBuffer.at(4))});
}

std::int16_t LinkEngine::TransactRequest(std::span<std::uint8_t> replyArray) {
  // Nothing says whether data comes back: wait as for data, or longer where the header's own
  // reply takes longer.
  const HeaderInfo* info = headerInfo(CommandBuffer.at(4));
  const ReplyWait wait = info && (info->wait == ReplyWait::Gather || info->wait == ReplyWait::Long)
                             ? info->wait
                             : ReplyWait::Data;
  return Transact(replyArray, replyTimeoutFor(wait), wait == ReplyWait::Gather);
}

void LinkEngine::LoadFrame(std::uint8_t destination, std::uint8_t header,
                           std::span<const std::uint8_t> data) {
  CommandBuffer.at(1) = destination;
  CommandBuffer.at(2) = static_cast<std::uint8_t>(data.size());
  CommandBuffer.at(3) = kHostAddress;
  CommandBuffer.at(4) = header;
  for (std::size_t i = 0; i < data.size(); ++i) {
    CommandBuffer.at(static_cast<int>(i) + 5) = data[i];
  }
}

QByteArray LinkEngine::sentOnLine() const {
  return written_;
}

QByteArray LinkEngine::sentInClear() const {
  if (!(encryption_ && crcMode()) || written_.size() < 5) return written_;
  FrameBuffer frame;
  for (int i = 0; i < written_.size(); ++i) {
    frame.at(i + 1) = static_cast<std::uint8_t>(written_[i]);
  }
  DecryptReply(frame, keyDigits_);
  const auto clear = frame.first(static_cast<int>(written_.size()));
  return QByteArray(reinterpret_cast<const char*>(clear.data()), written_.size());
}

bool LinkEngine::detectEcho(std::uint8_t device) {
  const bool before = commsEcho_;
  commsEcho_ = true;
  LoadFrame(device, SIMPLE_POLL);
  std::array<std::uint8_t, FrameBuffer::kSize> scratch{};
  Transact(scratch, replyWaitMs(ReplyWait::Short), false);
  commsEcho_ = last_.frameSent ? last_.echoHeard : before;
  return commsEcho_;
}

QString LinkEngine::CommandSent(std::int16_t style) const {
  return renderFrame(CommandBuffer.first(CommandBuffer.frameLength()), style);
}

QString LinkEngine::ReplyBack(std::int16_t style) const {
  return renderFrame(ReplyBuffer.first(ReplyLength), style);
}

QString resultMeaning(int result) {
  switch (result) {
    case kResultOk:
      return QStringLiteral("OK");
    case kResultNoteNumber:
      return QStringLiteral("Note number above 16");
    case kResultNotEnabled:
      return QStringLiteral("Port closed");
    case kResultKeyTooShort:
      return QStringLiteral("Key too short");
    default:
      return QStringLiteral("Result %1").arg(result);
  }
}

}  // namespace quennet
