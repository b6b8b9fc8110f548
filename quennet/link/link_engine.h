#pragma once
// The transaction engine: one frame out, one reply (or one failure) in.

#include <cstdint>
#include <functional>
#include <memory>
#include <span>

#include <QByteArray>
#include <QString>

#include "quennet/link/frame.h"
#include "quennet/link/frame_record.h"
#include "quennet/link/quennet_error.h"  // the result codes and failures
#include "quennet/link/serial_line.h"
#include "quennet/quennet_export.h"

namespace quennet {

class LinkEnginePrivate;

/// Where a transaction's reply reading stood when it ended: the echo of the frame written, the
/// reply's first two bytes (destination and length), the rest of its frame, or a search for a
/// reply in bytes that formed none.
enum class ReplyPhase : std::uint8_t {
  Echo,    ///< the frame written, coming back on a line that echoes
  Header,  ///< the reply's destination and data length
  Body,    ///< the rest of the reply's frame
  Resync,  ///< bytes that formed no reply to the host: a reply is searched for in them
};

/// What became of the last transaction. A call that ends before its transaction (port closed,
/// an argument refused) leaves everything false.
struct TransactionOutcome {
  bool ran = false;        ///< it got past the port check: the caption is this transaction's
  bool frameSent = false;  ///< its frame was handed to the line
  /// Why a reply was refused (result 3): a reply fault (isReplyFault), else None.
  Failure refusal = Failure::None;
  /// The line gave the frame back as it went out (the echo), told or not that it echoes.
  bool echoHeard = false;
  /// The line was said to echo, but the reply came without the echo ("no echo on this line").
  bool echoMissing = false;
  /// Where the reply reading stood at the end (Echo when no frame went out).
  ReplyPhase phase = ReplyPhase::Echo;
};

/// Added to the caption of a reply taken from a line that was said to echo but did not.
inline constexpr char kNoEchoText[] = "no echo on this line";

/// Counts kept by the engine since it was made: line faults seen by the host.
struct LinkStatistics {
  int echoMismatches = 0;  ///< echoes that differed from the frame written
  int wrongSources = 0;    ///< 8-bit replies from another device than the one asked
  int garbledReplies = 0;  ///< replies lost in bytes that formed none
  /// Noise skipped before a reply, and bytes dropped before a write (a late or repeated reply,
  /// anything the line carried unasked) or after a time-out.
  int ignoredBytes = 0;
  int missingEchoes = 0;  ///< replies taken without the echo the line was said to carry
};

/// Most bytes an address poll or clash gathers (a whole reply buffer): an array this long never
/// overflows.
inline constexpr int kCollectAllMost = FrameBuffer::kSize;

/// The transaction engine: one frame out, one reply (or one failure) in, with checksum or CRC,
/// encryption, echo skipping and time-outs.
class QUENNET_EXPORT LinkEngine {
 public:
  /// Receives every status caption ("Xmit Command <254>", "OK", "Timeout Error [0]" ...).
  using CaptionSink = std::function<void(const QString& caption)>;
  /// Told when a line failure during a transaction has closed the port.
  using LineFailureSink = std::function<void(const LineError& error)>;

  LinkEngine();
  virtual ~LinkEngine();
  LinkEngine(const LinkEngine&) = delete;
  LinkEngine& operator=(const LinkEngine&) = delete;

  /// The serial line the engine owns and talks through.
  ///@{
  void setLine(std::unique_ptr<SerialLine> line);
  SerialLine* line() const;
  ///@}
  /// Where status captions go.
  void setCaptionSink(CaptionSink sink);
  /// Where a line failure during a transaction is reported.
  void setLineFailureSink(LineFailureSink sink);
  /// Told about every frame sent and every reply or failure; null (the default) logs nothing.
  ///@{
  void setFrameObserver(FrameObserver* observer);
  FrameObserver* frameObserver() const;
  ///@}

  /// The control's two frame buffers (positions 1..256), the valid reply length, and the echo
  /// bytes expected before the reply to the last frame (0 without echo). A command fills
  /// CommandBuffer through LoadFrame(); a transaction fills the rest.
  ///@{
  const FrameBuffer& CommandBuffer() const;
  const FrameBuffer& ReplyBuffer() const;
  std::int16_t ReplyLength() const;
  std::int16_t EchoLength() const;
  ///@}
  /// The header of the last reply, in the clear (ACK 0, NAK 5, BUSY 6 ...); 0 when none came.
  std::uint8_t replyHeader() const;

  /// Link flags; the control exposes them as properties.
  ///@{
  bool commsEcho() const;
  void setCommsEcho(bool on);
  bool makeTimeoutError() const;
  void setMakeTimeoutError(bool on);
  bool makeChksmError() const;
  void setMakeChksmError(bool on);
  bool encryption() const;
  void setEncryption(bool on);
  Checksum_Type checksumType() const;
  void setChecksumType(Checksum_Type type);
  bool crcMode() const;
  /// Milliseconds to wait for every reply instead of the protocol's own waits; 0 (the default)
  /// keeps them. Never shortens the stacker cycle's or an address poll's longer wait.
  std::int32_t replyTimeoutMs() const;
  void setReplyTimeoutMs(std::int32_t ms);
  const KeyDigits& keyDigits() const;
  void setKeyDigits(const KeyDigits& digits);
  ///@}

  /// The next text transaction (and only that one) waits 8000 ms: the stacker cycle.
  void requestLongWait();
  /// The next transaction first waits for the line to fall quiet: a port just opened may still
  /// carry an answer meant for another process. Every transaction that failed leaves such a wait
  /// for the next one too.
  void requestQuietLine();
  /// How long the line must stay quiet after a good reply before the next frame goes out. None
  /// by default (kRepeatGuardMs): the next frame goes out as soon as the reply is in, and what
  /// arrives before that frame has left is dropped, never taken as its reply. A line whose
  /// devices are known to send a reply twice sets the span within which they do.
  ///@{
  static constexpr int kRepeatGuardMs = 0;
  void setRepeatGuardMs(int ms);
  int repeatGuardMs() const;
  ///@}
  /// True while a requested long wait has not yet been used.
  bool longWaitPending() const;
  /// Duration of the last transaction in milliseconds, from hand-over to the port to the result.
  std::int32_t lastMessageTime() const;
  /// True while a transaction waits for its reply.
  bool transactionRunning() const;
  /// The last caption shown.
  const QString& caption() const;
  /// The last transaction's outcome as values; forgetLastTransaction() clears it, so a caller
  /// learns whether a call it makes runs a transaction at all.
  ///@{
  const TransactionOutcome& lastTransaction() const;
  void forgetLastTransaction();
  ///@}

  /// True when the port is open; the engine sends nothing while it is closed.
  bool portOpen() const;

  /// Completes CommandBuffer (checksum or CRC, then encryption) and returns the bytes to send.
  QByteArray BuildFrame();
  /// Verifies ReplyBuffer; on failure `errorText` gets the "Checksum Error ..." text.
  bool CheckReply(QString* errorText) const;

  /// One exchange. `replyArray` receives the reply data from index 0; `timeoutMs` covers the
  /// whole reply, echo included; `collectAll` gathers loose bytes (address poll and clash). A
  /// reply with fewer than `fewestData` data bytes (an ACK or NAK to a data request) is result 3,
  /// "Reply Too Short [...]": a 0 would promise data the device never sent.
  std::int16_t Transact(std::span<std::uint8_t> replyArray, std::int32_t timeoutMs, bool collectAll,
                        int fewestData = 0);
  /// Text reply: on 0, `response` is the data as characters (bytes below 32 shown as digits),
  /// or "ACK", "NACK", "???" for an empty reply.
  std::int16_t TransactText(QString& response, std::int16_t expectedDataLen);
  /// Byte reply into the caller's array. A command that asks for data (expectedDataLen > 0) needs
  /// `fewestData` data bytes in the reply; kAllExpected means all expectedDataLen of them.
  ///@{
  static constexpr int kAllExpected = -1;
  std::int16_t TransactBytes(std::span<std::uint8_t> replyArray, std::int16_t expectedDataLen,
                             int fewestData = kAllExpected);
  ///@}
  /// A frame whose reply no command describes (a raw request): waits as for a data reply, or for
  /// as long as the header's own reply takes (the stacker cycle), and gathers the loose answers
  /// to address poll and clash.
  std::int16_t TransactRequest(std::span<std::uint8_t> replyArray);
  /// Writes one frame into CommandBuffer, cleared first: destination, data length, source (the
  /// host), header and data, as every command does before its transaction.
  void LoadFrame(std::uint8_t destination, std::uint8_t header,
                 std::span<const std::uint8_t> data = {});
  /// Data bytes the last transaction put into its reply array (0 unless it delivered data).
  int deliveredDataCount() const;
  /// The last transaction's reply was a verified frame with the ACK header (data replies carry it
  /// too), or a collection gathered answers. False for a NAK or an unknown header, which still
  /// give result 0 to a command without data, for a refusal carried as data (a route or stacker
  /// cycle answered 254 or 255, see isRefusal()), and for every failure.
  bool acknowledged() const;
  /// Line faults counted since the engine was made.
  const LinkStatistics& statistics() const;
  /// Answers an address poll or clash heard in its window, those it could not keep included.
  int collectedAnswers() const;

  /// The last frames as they were on the line: the frame written (encrypted where the link
  /// encrypts) and the reply's bytes as they arrived, before decryption and before a text
  /// command's rendering; empty when nothing went out or came back. The clear forms are the same
  /// frames unencrypted (equal to the line's bytes where the link does not encrypt).
  ///@{
  QByteArray sentOnLine() const;
  QByteArray replyOnLine() const;
  QByteArray sentInClear() const;
  QByteArray replyInClear() const;
  ///@}
  /// Learns whether the line echoes from one simple poll of `device` with the echo expected:
  /// the frame coming back before anything else is an echo; a reply first, or nothing at all, is
  /// a line without one. Sets CommsEcho to what was found and returns it; with the port closed
  /// nothing is sent and CommsEcho stays as it was.
  bool detectEcho(std::uint8_t device);

  /// Trace renderings of the last frames: style 0 hexadecimal, non-zero decimal. The reply shows
  /// only the bytes that arrived.
  ///@{
  QString CommandSent(std::int16_t style = 0) const;
  QString ReplyBack(std::int16_t style = 0) const;
  ///@}

 protected:
  /// Records the caption and hands it to the caption sink.
  void showCaption(const QString& caption);

 private:
  std::unique_ptr<LinkEnginePrivate> d_;
};

}  // namespace quennet
