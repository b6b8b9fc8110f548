#include "quennet/link/link_engine.h"

#include <algorithm>
#include <array>

#include "quennet/link/quennet_error.h"

namespace quennet {

namespace {

constexpr std::int32_t kShortReplyMs = 200;
constexpr std::int32_t kDataReplyMs = 500;
constexpr std::int32_t kCollectAllMs = 1200;
constexpr std::int32_t kLongWaitMs = 8000;
// Bytes beyond the echo that end an address poll or clash early.
constexpr int kCollectAllEnough = 12;
constexpr int kTimeoutBytePauseMs = 4;
constexpr std::uint8_t kHostAddress = 1;
constexpr std::uint8_t kHeaderAck = 0;
constexpr std::uint8_t kHeaderNak = 5;
constexpr std::uint8_t kHeaderBusy = 6;
constexpr std::uint8_t kHeaderAddressClash = 252;
constexpr std::uint8_t kHeaderAddressPoll = 253;

QString timeoutCaption(int count) {
  return QStringLiteral("Timeout Error [%1]").arg(count);
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
                                  bool collectAll) {
  // A handler run during our wait must not interleave a second frame on the line.
  if (busy_) {
    throw QuennetError(kErrCantPerformOperation,
                       QStringLiteral("A transaction is already in progress"));
  }
  if (!portOpen()) return kResultNotEnabled;
  busy_ = true;
  QElapsedTimer clock;
  clock.start();
  std::int16_t result = kResultOk;
  try {
    result = runTransaction(replyArray, timeoutMs, collectAll);
  } catch (...) {
    busy_ = false;
    throw;
  }
  busy_ = false;
  messageTime_ = static_cast<std::int32_t>(clock.elapsed());
  if (frameObserver_) logTransaction(clock, result);
  return result;
}

std::int16_t LinkEngine::fail(std::int16_t code, const QString& caption) {
  showCaption(caption);
  return code;
}

std::int16_t LinkEngine::lineFailed() {
  LineError error = line_->lastError();
  if (!error.isError()) error = LineError{8012, QStringLiteral("The port was closed")};
  line_->close();
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
         !deadline.hasExpired()) {
    line_->waitForBytes(count, deadline);
  }
  return line_->isOpen() && !line_->lastError().isError();
}

std::int16_t LinkEngine::runTransaction(std::span<std::uint8_t> replyArray, std::int32_t timeoutMs,
                                        bool collectAll) {
  showCaption(QStringLiteral("Xmit Command <%1>").arg(CommandBuffer.at(4)));
  ReplyBuffer.clear();
  ReplyLength = 0;
  const QByteArray frame = BuildFrame();
  EchoLength = static_cast<std::int16_t>(commsEcho_ ? frame.size() : 0);
  line_->discard();
  if (!transmit(frame)) return lineFailed();

  const QDeadlineTimer deadline(timeoutMs, Qt::PreciseTimer);
  const int expected = EchoLength + (collectAll ? kCollectAllEnough : 2);
  if (!waitFor(expected, deadline)) return lineFailed();
  const int waiting = line_->bytesAvailable();

  if (collectAll) {
    // Any byte beyond the echo makes the collection a success, however few arrived.
    if (waiting <= EchoLength) return fail(kResultTimeout, timeoutCaption(waiting - EchoLength));
    const QByteArray reply = line_->read(waiting).mid(EchoLength);
    const auto count = static_cast<int>(reply.size());
    if (count > FrameBuffer::kSize || count > static_cast<int>(replyArray.size())) {
      return fail(kResultChecksum, QStringLiteral("Reply Overflow [%1]").arg(count));
    }
    for (int i = 0; i < count; ++i) {
      const auto byte = static_cast<std::uint8_t>(reply[i]);
      ReplyBuffer.at(i + 1) = byte;
      replyArray[static_cast<std::size_t>(i)] = byte;
    }
    ReplyLength = static_cast<std::int16_t>(count);
    showCaption(QStringLiteral("OK"));
    return kResultOk;
  }

  if (waiting < expected) return fail(kResultTimeout, timeoutCaption(waiting - EchoLength));
  const QByteArray head = line_->read(expected);
  ReplyBuffer.at(1) = static_cast<std::uint8_t>(head[EchoLength]);
  ReplyBuffer.at(2) = static_cast<std::uint8_t>(head[EchoLength + 1]);
  const int dataLength = ReplyBuffer.at(2);
  if (dataLength > kMaxDataLength) {
    ReplyLength = 2;
    return fail(kResultChecksum, QStringLiteral("Reply Too Long [%1]").arg(dataLength));
  }
  ReplyLength = static_cast<std::int16_t>(dataLength + 5);

  const int remaining = ReplyLength - 2;
  if (!waitFor(remaining, deadline)) return lineFailed();
  const int arrived = line_->bytesAvailable();
  if (arrived < remaining) return fail(kResultTimeout, timeoutCaption(arrived + 2));
  // Bytes after the frame are not part of this reply; the next transaction discards them.
  const QByteArray rest = line_->read(remaining);
  for (int i = 0; i < remaining; ++i) ReplyBuffer.at(i + 3) = static_cast<std::uint8_t>(rest[i]);

  if (encryption_ && crcMode()) DecryptReply(ReplyBuffer, keyDigits_);
  QString checkError;
  if (!CheckReply(&checkError)) return fail(kResultChecksum, checkError);
  // Devices answer the host only. Anything else is a misaligned read (a lost echo byte makes
  // reply data look like a frame of zeros, whose CRC is zero too) and must not pass as a reply.
  if (ReplyBuffer.at(1) != kHostAddress) {
    return fail(kResultChecksum, QStringLiteral("Reply Address Error [%1]").arg(ReplyBuffer.at(1)));
  }

  if (dataLength > 0) {
    if (dataLength > static_cast<int>(replyArray.size())) {
      return fail(kResultChecksum, QStringLiteral("Reply Overflow [%1]").arg(dataLength));
    }
    for (int i = 0; i < dataLength; ++i) {
      replyArray[static_cast<std::size_t>(i)] = ReplyBuffer.at(i + 5);
    }
    showCaption(QStringLiteral("OK"));
    return kResultOk;
  }
  switch (ReplyBuffer.at(4)) {
    case kHeaderBusy:
      return fail(kResultBusy, QStringLiteral("BUSY"));
    case kHeaderAck:
    case kHeaderNak:
      showCaption(QStringLiteral("OK"));
      return kResultOk;
    default:
      showCaption(QStringLiteral("???"));
      return kResultOk;
  }
}

std::int16_t LinkEngine::TransactText(QString& response, std::int16_t expectedDataLen) {
  const std::int32_t timeout =
      longWait_ ? kLongWaitMs : (expectedDataLen <= 0 ? kShortReplyMs : kDataReplyMs);
  longWait_ = false;
  std::array<std::uint8_t, FrameBuffer::kSize> scratch{};
  const std::int16_t result = Transact(scratch, timeout, false);
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
        response = QStringLiteral("ACK");
        break;
      case kHeaderNak:
        response = QStringLiteral("NACK");
        break;
      default:
        response = QStringLiteral("???");
    }
  }
  return kResultOk;
}

std::int16_t LinkEngine::TransactBytes(std::span<std::uint8_t> replyArray,
                                       std::int16_t expectedDataLen) {
  const std::uint8_t header = CommandBuffer.at(4);
  if (header == kHeaderAddressPoll || header == kHeaderAddressClash) {
    return Transact(replyArray, kCollectAllMs, true);
  }
  return Transact(replyArray, expectedDataLen <= 0 ? kShortReplyMs : kDataReplyMs, false);
}

QString LinkEngine::CommandSent(std::int16_t style) const {
  return renderFrame(CommandBuffer.first(CommandBuffer.frameLength()), style);
}

QString LinkEngine::ReplyBack(std::int16_t style) const {
  return renderFrame(ReplyBuffer.first(ReplyLength), style);
}

}  // namespace quennet
