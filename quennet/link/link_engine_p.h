#pragma once
// The link engine's state behind its public class: the frame buffers, the link flags, the quiet
// line and the one transaction under way.

#include <cstdint>
#include <memory>
#include <optional>
#include <span>

#include <QByteArray>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QString>

#include "quennet/link/frame_codec.h"
#include "quennet/link/link_engine.h"
#include "quennet/link/protocol.h"
#include "quennet/link/quiet_line.h"
#include "quennet/link/serial_line.h"

namespace quennet {

// A failed transaction's caption: the failure's text and what was seen, "Reply Overflow [300]".
inline QString captionOf(Failure failure, const QString& seen) {
  return QStringLiteral("%1 [%2]").arg(failureText(failure), seen);
}
inline QString captionOf(Failure failure, int seen) {
  return captionOf(failure, QString::number(seen));
}

// What a command method's reply must look like; a raw request takes any reply.
struct ReplyShape {
  int fewestData = 0;       // fewer data bytes: "Reply Too Short"
  int exactData = -1;       // when not -1, any other count of data bytes is a wrong length
  bool noData = false;      // data in the reply is refused unless it is a refusal
  bool nakAnswers = false;  // an empty NAK answers the command (text methods show "NACK")
};

// Everything one transaction learns; a transaction starts by assigning a new one.
struct Transaction {
  Transaction() = default;
  Transaction(const ReplyShape& replyShape, std::uint8_t header)
      : shape(replyShape), requestHeader(header) {}

  ReplyShape shape;
  std::uint8_t requestHeader = 0;  // the header sent, in the clear
  TransactionOutcome outcome;
  int delivered = 0;
  bool acknowledged = false;
  int collected = 0;
  QByteArray dropped;  // bytes dropped before this transaction's write, for the trace
  // Bytes that had arrived by the time the frame had left the port: no answer to it.
  int earlyBytes = 0;
  bool trailing = false;    // bytes followed the reply in the same read
  bool replyTaken = false;  // a whole frame was read
  QElapsedTimer sentClock;
};

class LinkEnginePrivate {
 public:
  FrameCodec codec() const { return {crcMode(), encryption && crcMode(), keyDigits}; }
  bool crcMode() const { return checksumType != CHKSM_8BIT; }
  bool portOpen() const { return line && line->isOpen(); }

  std::int16_t transact(std::span<std::uint8_t> replyArray, std::int32_t timeoutMs, bool collectAll,
                        const ReplyShape& shape);
  std::int16_t runTransaction(std::span<std::uint8_t> replyArray, std::int32_t timeoutMs,
                              bool collectAll);
  // The wait for a reply of this kind, the reply time-out set applied.
  std::int32_t replyTimeoutFor(ReplyWait wait) const;
  bool transmit(const QByteArray& frame);
  bool waitFor(int count, const QDeadlineTimer& deadline) {
    return waitForBytes(*line, count, deadline);
  }
  // Records the caption and hands it to the caption sink.
  void show(const QString& text) {
    caption = text;
    if (captionSink) captionSink(text);
  }
  std::int16_t lineFailed();
  std::int16_t fail(std::int16_t code, const QString& caption);
  // Result 3 for a reply that came but cannot be taken; the caption as captionOf() makes it.
  std::int16_t refuse(Failure why, const QString& caption);
  // Stores `bytes` in ReplyBuffer from `position` on and extends ReplyLength over them.
  void storeReply(const QByteArray& bytes, int position);
  // Empties ReplyBuffer for a reply found anew.
  void clearReply() {
    ReplyBuffer.clear();
    ReplyLength = 0;
  }
  // Checks the reply in ReplyBuffer (ReplyLength set) and delivers it.
  std::int16_t acceptReply(std::span<std::uint8_t> replyArray, int fewestData);
  // A reply caption, with the note that the line did not echo where it did not.
  QString replyCaption(const QString& caption) const;
  // Hands the finished transaction's two records to the frame observer.
  void logTransaction(std::int16_t result) const;

  std::unique_ptr<SerialLine> line;
  LinkEngine::CaptionSink captionSink;
  LinkEngine::LineFailureSink lineFailureSink;
  FrameObserver* frameObserver = nullptr;
  QString caption;

  FrameBuffer CommandBuffer;
  FrameBuffer ReplyBuffer;
  std::int16_t ReplyLength = 0;
  std::int16_t EchoLength = 0;

  bool commsEcho = false;
  bool makeTimeoutError = false;
  bool makeChksmError = false;
  bool encryption = false;
  Checksum_Type checksumType = CHKSM_8BIT;
  std::int32_t replyTimeoutMs = 0;
  KeyDigits keyDigits{};
  bool longWait = false;
  int repeatGuardMs = LinkEngine::kRepeatGuardMs;

  QuietLineWaiter quiet;
  LinkStatistics statistics;
  bool busy = false;
  Transaction tx;
  QByteArray written;  // the frame as it went on the line, for the echo
  // The last reply as it arrived and in the clear.
  QByteArray replyWire;
  QByteArray replyClear;
  std::int32_t messageTime = 0;
};

// Reads the one reply to the frame just written, phase by phase: the echo of the frame, the
// reply's destination and length, the rest of its frame, or a search for a reply in bytes that
// formed none. Each phase ends the reading with a result or names the next phase.
class ReplyReader {
 public:
  ReplyReader(LinkEnginePrivate& engine, std::span<std::uint8_t> replyArray,
              const QDeadlineTimer& deadline, int fewestData)
      : e_(engine), replyArray_(replyArray), deadline_(deadline), fewestData_(fewestData) {}

  // One reply from one device.
  std::int16_t read();
  // The loose one-byte answers of several devices to an address poll or clash.
  std::int16_t collect();

 private:
  using Step = std::optional<std::int16_t>;
  void enter(ReplyPhase phase) { e_.tx.outcome.phase = phase; }
  Step readEcho();
  Step readHeader();
  Step readBody();
  std::int16_t resynchronise();
  // Fewer bytes than the echo and a reply's first two came within the time-out.
  std::int16_t headerTimedOut(int waiting);
  // Under an echo setting a byte addressed to the host came first: takes what follows only if it
  // is a whole reply that verifies, from the device asked, after the frame had left; anything
  // else is an echo error.
  std::int16_t replyWithoutEcho();

  LinkEnginePrivate& e_;
  std::span<std::uint8_t> replyArray_;
  QDeadlineTimer deadline_;
  int fewestData_;
  bool headerWaited_ = false;  // the echo phase waited for the reply's first two bytes too
  QByteArray head_;            // the first byte, read before the echo
  QByteArray got_;             // bytes read for the reply
  QByteArray given_;           // bytes before a silence longer than a gap: no reply in them
};

}  // namespace quennet
