#include "quennet/link/frame_splitter.h"

#include "quennet/link/protocol.h"

namespace quennet {

namespace {

constexpr std::size_t kOverhead = 5;
constexpr std::size_t kLongestFrame = 255 + kOverhead;
// Past two of the longest frames a bad frame is not waited on any longer: a line that never
// pauses must not make the splitter hold bytes without bound.
constexpr std::size_t kMostPending = 2 * kLongestFrame;
// Dropped bytes are moved out of the buffer once there are this many and more than remain.
constexpr std::size_t kCompactAt = 4096;

}  // namespace

std::size_t FrameSplitter::frameLengthAt(std::size_t offset) const {
  return at(offset + 1) + kOverhead;
}

bool FrameSplitter::sendableAt(std::size_t offset) const {
  const std::uint8_t header = at(offset + 3);
  const bool replyHeader = header == kHeaderAck || header == kHeaderNak || header == kHeaderBusy;
  if (at(offset) == kHostAddress) return replyHeader;
  return !replyHeader && (crc_ || at(offset + 2) == kHostAddress);
}

bool FrameSplitter::goodFrameAt(std::size_t offset) const {
  if (offset + kOverhead > size()) return false;
  const std::size_t length = frameLengthAt(offset);
  if (offset + length > size() || !sendableAt(offset)) return false;
  return frameChecks(std::span(bytes_).subspan(head_ + offset, length), crc_);
}

bool FrameSplitter::arrivedApartAt(std::size_t offset) const {
  return offset > 0 && times_[head_ + offset] != times_[head_ + offset - 1];
}

void FrameSplitter::take(FrameStatus status, std::size_t count, std::vector<FrameRecord>& out) {
  FrameRecord record;
  record.timeUs = times_[head_];
  record.status = status;
  const auto taken = std::span(bytes_).subspan(head_, count);
  record.raw =
      QByteArray(reinterpret_cast<const char*>(taken.data()), static_cast<qsizetype>(count));
  record.frame = decodeFrame(taken, crc_);
  out.push_back(std::move(record));
  head_ += count;
  if (head_ == bytes_.size()) {
    bytes_.clear();
    times_.clear();
    head_ = 0;
  } else if (head_ > kCompactAt && head_ > size()) {
    bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(head_));
    times_.erase(times_.begin(), times_.begin() + static_cast<std::ptrdiff_t>(head_));
    head_ = 0;
  }
}

void FrameSplitter::scan(bool burstEnded, std::vector<FrameRecord>& out) {
  while (size() > 0) {
    const std::size_t pending = size();
    if (pending < 2) {
      if (burstEnded) take(FrameStatus::Incomplete, pending, out);
      return;
    }
    const std::size_t length = frameLengthAt(0);
    if (pending >= length && goodFrameAt(0)) {
      take(FrameStatus::Ok, length, out);
      continue;
    }
    // A frame still arriving is waited for: its data may look like a frame by chance.
    if (pending < length && !burstEnded) return;
    // The front is no good frame. Bytes inside a frame whose fields could have been sent belong
    // to it: a frame is found there only where bytes arrived apart (a new burst). Elsewhere a
    // good frame further on tells where the bad bytes end: right after a whole frame's length
    // it was a frame with a bad checksum, anywhere else garbage. A front whose burst ended
    // before its length was in was never a frame, and hides none.
    const bool frameFront =
        pending >= kOverhead && sendableAt(0) && !(burstEnded && pending < length);
    std::size_t next = 1;
    while (next + kOverhead <= pending &&
           !((next >= length || !frameFront || arrivedApartAt(next)) && goodFrameAt(next))) {
      ++next;
    }
    if (next + kOverhead <= pending) {
      take(next == length && frameFront ? FrameStatus::BadChecksum : FrameStatus::Garbage, next,
           out);
      continue;
    }
    if (!burstEnded) {
      // No good frame starts in what cannot be completed any more: a frame that starts later
      // than the last kLongestFrame bytes would already be whole. Drop those bytes, so a line
      // that never pauses keeps the splitter bounded (and each byte is searched once).
      if (pending > kMostPending) {
        const std::size_t settled = pending - kLongestFrame;
        take(settled == length && frameFront ? FrameStatus::BadChecksum : FrameStatus::Garbage,
             settled, out);
      }
      return;
    }
    if (pending == length) {
      take(frameFront ? FrameStatus::BadChecksum : FrameStatus::Garbage, pending, out);
    } else {
      take(pending < length ? FrameStatus::Incomplete : FrameStatus::Garbage, pending, out);
    }
    return;
  }
}

void FrameSplitter::feed(std::span<const std::uint8_t> bytes, std::int64_t timeUs,
                         std::vector<FrameRecord>& out) {
  if (bytes.empty()) return;
  expire(timeUs, out);
  bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
  times_.insert(times_.end(), bytes.size(), timeUs);
  scan(false, out);
}

void FrameSplitter::expire(std::int64_t nowUs, std::vector<FrameRecord>& out) {
  if (size() > 0 && nowUs - times_.back() > kGapUs) scan(true, out);
}

std::optional<std::int64_t> FrameSplitter::deadline() const {
  if (size() == 0) return std::nullopt;
  return times_.back() + kGapUs + 1;
}

void FrameSplitter::finish(std::vector<FrameRecord>& out) {
  scan(true, out);
}

void FramePairing::label(FrameRecord& record) {
  if (record.status != FrameStatus::Ok && record.status != FrameStatus::BadChecksum) {
    record.direction = FrameDirection::Unknown;
    // After an address poll or clash the devices answer one loose byte each, each in its own
    // time, for as long as the host listens: those bytes are their answers, not broken frames.
    const std::int64_t listenUs = std::int64_t{replyWaitMs(ReplyWait::Gather)} * 1000;
    if (lastHostFrame_ && lastHostFrame_->frame.destination == kBroadcastAddress &&
        gathersAnswers(lastHostFrame_->frame.header) && !record.raw.isEmpty() &&
        record.timeUs - lastHostFrame_->timeUs <= listenUs &&
        (record.status == FrameStatus::Incomplete || record.status == FrameStatus::Garbage)) {
      record.direction = FrameDirection::Device;
      record.status = FrameStatus::Ok;
      record.frame.complete = false;
      record.peer = kBroadcastAddress;
      record.requestHeader = lastHostFrame_->frame.header;
      record.durationUs = record.timeUs - lastHostFrame_->timeUs;
    }
    return;
  }
  if (record.frame.destination != kHostAddress) {
    record.direction = FrameDirection::Host;
    // A host frame with a bad checksum gets no reply; only a good one is waited on.
    if (record.status == FrameStatus::Ok) {
      lastHostFrame_ = record;
    } else {
      lastHostFrame_.reset();
    }
    return;
  }
  record.direction = FrameDirection::Device;
  if (!lastHostFrame_) return;
  record.peer = lastHostFrame_->frame.destination;
  record.requestHeader = lastHostFrame_->frame.header;
  record.durationUs = record.timeUs - lastHostFrame_->timeUs;
  lastHostFrame_.reset();
}

}  // namespace quennet
