// The link engine's frame log: each finished transaction becomes two records, the frame that
// went out and the reply (or what became of it).
#include <chrono>

#include "quennet/link/encryption.h"
#include "quennet/link/link_engine_p.h"

namespace quennet {

namespace {

std::int64_t steadyMicroseconds(std::chrono::steady_clock::time_point at) {
  using namespace std::chrono;
  return duration_cast<microseconds>(at.time_since_epoch()).count();
}

QByteArray bytesOf(std::span<const std::uint8_t> bytes) {
  return QByteArray(reinterpret_cast<const char*>(bytes.data()),
                    static_cast<qsizetype>(bytes.size()));
}

}  // namespace

void LinkEnginePrivate::logTransaction(std::int16_t result) const {
  const auto end = std::chrono::steady_clock::now();
  const bool sentFrame = tx.sentClock.isValid();
  const std::int64_t sinceSentNs = sentFrame ? tx.sentClock.nsecsElapsed() : 0;
  const bool encrypted = codec().encrypted;

  // CommandBuffer still holds the frame as sent; the decode reads it in the clear.
  FrameBuffer plain = CommandBuffer;
  if (encrypted) DecryptReply(plain, keyDigits);
  const int sentLength = CommandBuffer.frameLength();
  FrameRecord sent;
  sent.timeUs = steadyMicroseconds(end - std::chrono::nanoseconds(sinceSentNs));
  sent.direction = FrameDirection::Host;
  sent.raw = bytesOf(CommandBuffer.first(sentLength));
  sent.frame = decodeFrame(plain.first(sentLength), crcMode());
  // What the line carried unasked before the frame went out was dropped, not taken as its reply.
  if (!tx.dropped.isEmpty()) {
    FrameRecord stale;
    stale.timeUs = sent.timeUs;
    stale.status = FrameStatus::Garbage;
    stale.raw = tx.dropped;
    stale.frame = decodeFrame(byteSpan(tx.dropped), crcMode());
    stale.caption = QStringLiteral("Dropped [%1]").arg(tx.dropped.size());
    frameObserver->frameLogged(stale);
  }
  // A line that never fell quiet fails the command before its frame goes out.
  if (sentFrame) frameObserver->frameLogged(sent);

  FrameRecord reply;
  reply.timeUs = steadyMicroseconds(end);
  reply.direction = FrameDirection::Device;
  reply.peer = sent.frame.destination;
  reply.requestHeader = sent.frame.header;
  reply.result = result;
  reply.caption = caption;
  reply.acknowledged = result == kResultOk && tx.acknowledged;
  reply.durationUs = sinceSentNs / 1000;
  // ReplyBuffer holds the bytes that arrived, a whole reply decrypted in place; the raw bytes are
  // those the line carried.
  const auto received = ReplyBuffer.first(ReplyLength);
  reply.frame = decodeFrame(received, crcMode());
  reply.raw = replyWire;
  switch (result) {
    case kResultOk:
    case kResultBusy:
      reply.status = FrameStatus::Ok;
      break;
    case kResultTimeout:
      reply.status = FrameStatus::Timeout;
      break;
    default:
      reply.status = reply.frame.complete && !reply.frame.checksumOk ? FrameStatus::BadChecksum
                                                                     : FrameStatus::Error;
  }
  frameObserver->frameLogged(reply);
}

}  // namespace quennet
