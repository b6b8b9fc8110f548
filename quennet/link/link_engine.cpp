#include "quennet/link/link_engine.h"

#include <algorithm>
#include <array>

#include "quennet/link/encryption.h"
#include "quennet/link/link_engine_p.h"
#include "quennet/link/port_access.h"
#include "quennet/link/quennet_error.h"

namespace quennet {

namespace {

constexpr int kTimeoutBytePauseMs = 4;

// Says what came instead of the data: the number of data bytes, or the empty reply's kind.
QString shortReplyCaption(int dataLength, std::uint8_t header) {
  QString what = QString::number(dataLength);
  if (dataLength == 0 && header == kHeaderAck) what = QLatin1String(kAckText);
  if (dataLength == 0 && header == kHeaderNak) what = QLatin1String(kNakText);
  return captionOf(Failure::TooShort, what);
}

}  // namespace

LinkEngine::LinkEngine() : d_(std::make_unique<LinkEnginePrivate>()) {}
LinkEngine::~LinkEngine() = default;

void LinkEngine::setLine(std::unique_ptr<SerialLine> line) {
  d_->line = std::move(line);
}
SerialLine* LinkEngine::line() const {
  return d_->line.get();
}
void LinkEngine::setCaptionSink(CaptionSink sink) {
  d_->captionSink = std::move(sink);
}
void LinkEngine::setLineFailureSink(LineFailureSink sink) {
  d_->lineFailureSink = std::move(sink);
}
void LinkEngine::setFrameObserver(FrameObserver* observer) {
  d_->frameObserver = observer;
}
FrameObserver* LinkEngine::frameObserver() const {
  return d_->frameObserver;
}

const FrameBuffer& LinkEngine::CommandBuffer() const {
  return d_->CommandBuffer;
}
const FrameBuffer& LinkEngine::ReplyBuffer() const {
  return d_->ReplyBuffer;
}
std::int16_t LinkEngine::ReplyLength() const {
  return d_->ReplyLength;
}
std::int16_t LinkEngine::EchoLength() const {
  return d_->EchoLength;
}
std::uint8_t LinkEngine::replyHeader() const {
  return d_->ReplyLength >= 4 ? d_->ReplyBuffer.at(4) : 0;
}

bool LinkEngine::commsEcho() const {
  return d_->commsEcho;
}
void LinkEngine::setCommsEcho(bool on) {
  d_->commsEcho = on;
}
bool LinkEngine::makeTimeoutError() const {
  return d_->makeTimeoutError;
}
void LinkEngine::setMakeTimeoutError(bool on) {
  d_->makeTimeoutError = on;
}
bool LinkEngine::makeChksmError() const {
  return d_->makeChksmError;
}
void LinkEngine::setMakeChksmError(bool on) {
  d_->makeChksmError = on;
}
bool LinkEngine::encryption() const {
  return d_->encryption;
}
void LinkEngine::setEncryption(bool on) {
  d_->encryption = on;
}
Checksum_Type LinkEngine::checksumType() const {
  return d_->checksumType;
}
void LinkEngine::setChecksumType(Checksum_Type type) {
  d_->checksumType = type;
}
bool LinkEngine::crcMode() const {
  return d_->crcMode();
}
std::int32_t LinkEngine::replyTimeoutMs() const {
  return d_->replyTimeoutMs;
}
void LinkEngine::setReplyTimeoutMs(std::int32_t ms) {
  d_->replyTimeoutMs = std::max<std::int32_t>(ms, 0);
}
const KeyDigits& LinkEngine::keyDigits() const {
  return d_->keyDigits;
}
void LinkEngine::setKeyDigits(const KeyDigits& digits) {
  d_->keyDigits = digits;
}

void LinkEngine::requestLongWait() {
  d_->longWait = true;
}
void LinkEngine::requestQuietLine() {
  d_->quiet.requestSettle();
}
void LinkEngine::setRepeatGuardMs(int ms) {
  d_->repeatGuardMs = std::max(ms, 0);
}
int LinkEngine::repeatGuardMs() const {
  return d_->repeatGuardMs;
}
bool LinkEngine::longWaitPending() const {
  return d_->longWait;
}
std::int32_t LinkEngine::lastMessageTime() const {
  return d_->messageTime;
}
bool LinkEngine::transactionRunning() const {
  return d_->busy;
}
const QString& LinkEngine::caption() const {
  return d_->caption;
}
const TransactionOutcome& LinkEngine::lastTransaction() const {
  return d_->tx.outcome;
}
void LinkEngine::forgetLastTransaction() {
  d_->tx.outcome = {};
}
bool LinkEngine::portOpen() const {
  return d_->portOpen();
}
int LinkEngine::deliveredDataCount() const {
  return d_->tx.delivered;
}
bool LinkEngine::acknowledged() const {
  return d_->tx.acknowledged;
}
const LinkStatistics& LinkEngine::statistics() const {
  return d_->statistics;
}
int LinkEngine::collectedAnswers() const {
  return d_->tx.collected;
}
QByteArray LinkEngine::sentOnLine() const {
  return d_->written;
}
QByteArray LinkEngine::replyOnLine() const {
  return d_->replyWire;
}
QByteArray LinkEngine::sentInClear() const {
  return d_->codec().inClear(d_->written);
}
QByteArray LinkEngine::replyInClear() const {
  return d_->replyClear;
}

void LinkEngine::showCaption(const QString& caption) {
  d_->show(caption);
}

QByteArray LinkEngine::BuildFrame() {
  return d_->codec().seal(d_->CommandBuffer, d_->makeChksmError);
}

bool LinkEngine::CheckReply(QString* errorText) const {
  return d_->codec().verify(d_->ReplyBuffer, d_->ReplyLength, errorText);
}

std::int16_t LinkEngine::Transact(std::span<std::uint8_t> replyArray, std::int32_t timeoutMs,
                                  bool collectAll, int fewestData) {
  return d_->transact(replyArray, timeoutMs, collectAll, ReplyShape{.fewestData = fewestData});
}

std::int16_t LinkEnginePrivate::transact(std::span<std::uint8_t> replyArray, std::int32_t timeoutMs,
                                         bool collectAll, const ReplyShape& shape) {
  // A handler run during our wait must not interleave a second frame on the line.
  if (busy) {
    throw QuennetError(kErrCantPerformOperation,
                       QStringLiteral("A transaction is already in progress"));
  }
  tx = Transaction(shape, CommandBuffer.at(4));
  if (!portOpen()) return kResultNotEnabled;
  busy = true;
  tx.outcome.ran = true;
  std::int16_t result = kResultOk;
  try {
    result = runTransaction(replyArray, timeoutMs, collectAll);
  } catch (...) {
    busy = false;
    throw;
  }
  busy = false;
  if (!tx.replyTaken) {
    // No whole frame was read: the reply holds the bytes as they came, none decrypted.
    const auto received = ReplyBuffer.first(ReplyLength);
    replyWire = QByteArray(reinterpret_cast<const char*>(received.data()), ReplyLength);
    replyClear = replyWire;
  }
  messageTime = tx.sentClock.isValid() ? static_cast<std::int32_t>(tx.sentClock.elapsed()) : 0;
  if (tx.outcome.frameSent && portOpen()) {
    // What the next write waits for: without a reply taken (a time-out, noise, a reply that
    // cannot be taken, which may be an earlier command's, and BUSY, which a device may follow
    // with its real answer) the device's own reply may still come; a reply taken may be followed
    // by the rest of what came with it, or come again on a line set to guard against that.
    quiet.heardNow(result != kResultOk ? timeoutMs : tx.trailing ? kQuietGapMs : repeatGuardMs);
  }
  if (frameObserver) logTransaction(result);
  return result;
}

std::int16_t LinkEnginePrivate::fail(std::int16_t code, const QString& text) {
  show(text);
  return code;
}

std::int16_t LinkEnginePrivate::refuse(Failure why, const QString& text) {
  tx.outcome.refusal = why;
  return fail(kResultChecksum, text);
}

std::int16_t LinkEnginePrivate::lineFailed() {
  LineError error = line->lastError();
  if (!error.isError()) error = LineError{kErrPortNotOpen, QStringLiteral("The port was closed")};
  line->close();
  quiet.requestSettle();
  show(commsErrorText(error.description));
  if (lineFailureSink) lineFailureSink(error);
  return kResultNotEnabled;
}

bool LinkEnginePrivate::transmit(const QByteArray& frame) {
  if (!makeTimeoutError) return line->write(frame);
  for (char byte : frame) {
    if (!line->write(QByteArray(1, byte))) return false;
    line->pause(kTimeoutBytePauseMs);
    if (!line->isOpen()) return false;
  }
  return true;
}

void LinkEnginePrivate::storeReply(const QByteArray& bytes, int position) {
  const int count = std::min(static_cast<int>(bytes.size()), FrameBuffer::kSize - position + 1);
  for (int i = 0; i < count; ++i)
    ReplyBuffer.at(position + i) = static_cast<std::uint8_t>(bytes[i]);
  ReplyLength = static_cast<std::int16_t>(std::max<int>(ReplyLength, position + count - 1));
}

std::int16_t LinkEnginePrivate::runTransaction(std::span<std::uint8_t> replyArray,
                                               std::int32_t timeoutMs, bool collectAll) {
  show(QStringLiteral("Xmit Command <%1>").arg(CommandBuffer.at(4)));
  clearReply();
  const QByteArray frame = codec().seal(CommandBuffer, makeChksmError);
  written = frame;
  EchoLength = static_cast<std::int16_t>(commsEcho ? frame.size() : 0);
  switch (quiet.settle(*line, tx.dropped, statistics)) {
    case QuietLineWaiter::Outcome::Quiet:
      break;
    case QuietLineWaiter::Outcome::NotQuiet:
      return fail(kResultTimeout, QStringLiteral("Line Not Quiet [%1]").arg(tx.dropped.size()));
    case QuietLineWaiter::Outcome::LineFailed:
      return lineFailed();
  }
  // Nothing that came before the frame answers it.
  quiet.dropInput(*line, tx.dropped, statistics);
  tx.sentClock.start();
  // A write the port refused put nothing on the line.
  if (!transmit(frame)) return lineFailed();
  tx.outcome.frameSent = true;
  // Nor does anything that came while it was leaving: no device had read it yet. Without an echo
  // those bytes are dropped; on a line that echoes they come with the echo, which tells them
  // apart (the echo check).
  const int early = line->waitUntilSent();
  if (early < 0) return lineFailed();
  tx.earlyBytes = early;
  if (EchoLength == 0 && early > 0) {
    const QByteArray stale = line->read(early);
    tx.dropped += stale;
    statistics.ignoredBytes += static_cast<int>(stale.size());
  }

  const QDeadlineTimer deadline(timeoutMs, Qt::PreciseTimer);
  ReplyReader reader(*this, replyArray, deadline, tx.shape.fewestData);
  return collectAll ? reader.collect() : reader.read();
}

QString LinkEnginePrivate::replyCaption(const QString& text) const {
  return tx.outcome.echoMissing ? QStringLiteral("%1 (%2)").arg(text, QLatin1String(kNoEchoText))
                                : text;
}

std::int16_t LinkEnginePrivate::acceptReply(std::span<std::uint8_t> replyArray, int fewestData) {
  const int dataLength = ReplyBuffer.at(2);
  const auto frame = ReplyBuffer.first(ReplyLength);
  const FrameCodec frames = codec();
  tx.replyTaken = true;
  replyWire = QByteArray(reinterpret_cast<const char*>(frame.data()), ReplyLength);
  if (frames.encrypted) DecryptReply(ReplyBuffer, keyDigits);
  replyClear = QByteArray(reinterpret_cast<const char*>(frame.data()), ReplyLength);
  QString checkError;
  if (!frames.verify(ReplyBuffer, ReplyLength, &checkError)) {
    return refuse(Failure::Checksum, checkError);
  }
  // Devices answer the host only. Anything else is a misaligned read (a lost echo byte makes
  // reply data look like a frame of zeros, whose CRC is zero too) and must not pass as a reply.
  if (ReplyBuffer.at(1) != kHostAddress) {
    return refuse(Failure::Address, captionOf(Failure::Address, ReplyBuffer.at(1)));
  }
  // An 8-bit reply names its sender: only the device asked may answer (a broadcast has no
  // single device). CRC frames carry the CRC in that place.
  const std::uint8_t asked = CommandBuffer.at(1);
  if (!frames.crc && asked != kBroadcastAddress && ReplyBuffer.at(3) != asked) {
    ++statistics.wrongSources;
    return refuse(Failure::WrongSource, captionOf(Failure::WrongSource, ReplyBuffer.at(3)));
  }

  const std::uint8_t header = ReplyBuffer.at(4);
  if (dataLength == 0 && header == kHeaderBusy) {
    return fail(kResultBusy, replyCaption(failureText(Failure::Busy)));
  }
  const auto data = ReplyBuffer.first(dataLength + 4).subspan(4);
  const bool refusal = isRefusal(tx.requestHeader, data);
  const ReplyShape& shape = tx.shape;
  // A command whose reply carries no data is not answered by data: such a reply is meant for
  // another command (a late or repeated one), unless it is the header's refusal.
  if (shape.noData && dataLength > 0 && !refusal) {
    return refuse(Failure::Unexpected, captionOf(Failure::Unexpected, dataLength));
  }
  // A text command shows a NAK as "NACK"; every other empty reply to a request for data, and a
  // byte command's NAK, is too short.
  const bool nak = dataLength == 0 && header == kHeaderNak && shape.nakAnswers;
  const bool empty = dataLength == 0 && !nak;
  if (empty && (fewestData > 0 || shape.exactData > 0)) {
    return refuse(Failure::TooShort, shortReplyCaption(dataLength, header));
  }
  // A reply whose length is fixed is that long or it is not the answer.
  if (dataLength > 0 && shape.exactData >= 0 && dataLength != shape.exactData) {
    return refuse(Failure::WrongLength,
                  captionOf(Failure::WrongLength,
                            QStringLiteral("%1 <> %2").arg(dataLength).arg(shape.exactData)));
  }
  if (dataLength < fewestData) {
    return refuse(Failure::TooShort, shortReplyCaption(dataLength, header));
  }
  if (dataLength > 0) {
    if (dataLength > static_cast<int>(replyArray.size())) {
      return refuse(Failure::Overflow, captionOf(Failure::Overflow, dataLength));
    }
    for (int i = 0; i < dataLength; ++i) {
      replyArray[static_cast<std::size_t>(i)] = ReplyBuffer.at(i + 5);
    }
    tx.delivered = dataLength;
    tx.acknowledged = header == kHeaderAck && !refusal;
    show(replyCaption(failureText(Failure::None)));
    return kResultOk;
  }
  tx.acknowledged = header == kHeaderAck;
  show(replyCaption(header == kHeaderAck || header == kHeaderNak ? failureText(Failure::None)
                                                                 : QStringLiteral("???")));
  return kResultOk;
}

std::int32_t LinkEnginePrivate::replyTimeoutFor(ReplyWait wait) const {
  const std::int32_t own = replyWaitMs(wait);
  if (replyTimeoutMs <= 0) return own;
  // A slow device gets the time set for every reply; the waits that are long by nature (the
  // stacker cycle, gathering address answers) are never cut short by it.
  if (wait == ReplyWait::Short || wait == ReplyWait::Data) return replyTimeoutMs;
  return std::max(own, replyTimeoutMs);
}

std::int16_t LinkEngine::TransactText(QString& response, std::int16_t expectedDataLen) {
  LinkEnginePrivate& d = *d_;
  const std::int32_t timeout = d.replyTimeoutFor(
      d.longWait ? ReplyWait::Long : (expectedDataLen <= 0 ? ReplyWait::Short : ReplyWait::Data));
  d.longWait = false;
  std::array<std::uint8_t, FrameBuffer::kSize> scratch{};
  const std::uint8_t header = d.CommandBuffer.at(4);
  const HeaderInfo* info = headerInfo(header);
  const std::int16_t result = d.transact(scratch, timeout, false,
                                         ReplyShape{.exactData = info ? info->exactReplyData() : -1,
                                                    .noData = replyCarriesNoData(header),
                                                    .nakAnswers = true});
  if (result != kResultOk) return result;
  FrameBuffer& reply = d.ReplyBuffer;
  const int dataLength = reply.at(2);
  if (dataLength > 0) {
    QString text;
    text.reserve(dataLength);
    for (int p = 5; p <= dataLength + 4; ++p) {
      // Small numbers read as digits; the replaced byte stays in the buffer for ReplyBack.
      if (reply.at(p) < 32) reply.at(p) = static_cast<std::uint8_t>(reply.at(p) + 48);
      text += QChar::fromLatin1(static_cast<char>(reply.at(p)));
    }
    response = text;
  } else {
    switch (reply.at(4)) {
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
  LinkEnginePrivate& d = *d_;
  const std::uint8_t header = d.CommandBuffer.at(4);
  if (gathersAnswers(header)) {
    return Transact(replyArray, d.replyTimeoutFor(ReplyWait::Gather), true);
  }
  const int asked = std::max<int>(expectedDataLen, 0);
  const HeaderInfo* info = headerInfo(header);
  return d.transact(
      replyArray, d.replyTimeoutFor(asked == 0 ? ReplyWait::Short : ReplyWait::Data), false,
      ReplyShape{.fewestData = fewestData == kAllExpected ? asked : std::min(fewestData, asked),
                 .exactData = info && asked > 0 ? info->exactReplyData() : -1,
                 .noData = replyCarriesNoData(header)});
}

std::int16_t LinkEngine::TransactRequest(std::span<std::uint8_t> replyArray) {
  // Nothing says whether data comes back: wait as for data, or longer where the header's own
  // reply takes longer.
  const HeaderInfo* info = headerInfo(d_->CommandBuffer.at(4));
  const ReplyWait wait = info && (info->wait == ReplyWait::Gather || info->wait == ReplyWait::Long)
                             ? info->wait
                             : ReplyWait::Data;
  return Transact(replyArray, d_->replyTimeoutFor(wait), wait == ReplyWait::Gather);
}

void LinkEngine::LoadFrame(std::uint8_t destination, std::uint8_t header,
                           std::span<const std::uint8_t> data) {
  FrameBuffer& frame = d_->CommandBuffer;
  frame.clear();
  frame.at(1) = destination;
  frame.at(2) = static_cast<std::uint8_t>(data.size());
  frame.at(3) = kHostAddress;
  frame.at(4) = header;
  for (std::size_t i = 0; i < data.size(); ++i) {
    frame.at(static_cast<int>(i) + 5) = data[i];
  }
}

bool LinkEngine::detectEcho(std::uint8_t device) {
  const bool before = d_->commsEcho;
  d_->commsEcho = true;
  LoadFrame(device, SIMPLE_POLL);
  std::array<std::uint8_t, FrameBuffer::kSize> scratch{};
  Transact(scratch, replyWaitMs(ReplyWait::Short), false);
  const TransactionOutcome& outcome = d_->tx.outcome;
  d_->commsEcho = outcome.frameSent ? outcome.echoHeard : before;
  return d_->commsEcho;
}

QString LinkEngine::CommandSent(std::int16_t style) const {
  const FrameBuffer& frame = d_->CommandBuffer;
  return renderFrame(frame.first(frame.frameLength()), style);
}

QString LinkEngine::ReplyBack(std::int16_t style) const {
  return renderFrame(d_->ReplyBuffer.first(d_->ReplyLength), style);
}

}  // namespace quennet
