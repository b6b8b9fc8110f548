#include "quennet/link/frame_splitter.h"

#include "quennet/link/protocol.h"

namespace quennet {

namespace {

constexpr std::size_t kOverhead = 5;
// Past two of the longest frames a bad frame is not waited on any longer: a line that never
// pauses must not make the splitter hold bytes without bound.
constexpr std::size_t kMostPending = 2 * (255 + kOverhead);

}  // namespace

std::size_t FrameSplitter::frameLengthAt(std::size_t offset) const {
  return bytes_[offset + 1] + kOverhead;
}

bool FrameSplitter::goodFrameAt(std::size_t offset) const {
  if (offset + kOverhead > bytes_.size()) return false;
  const std::size_t length = frameLengthAt(offset);
  if (offset + length > bytes_.size()) return false;
  return frameChecks(std::span(bytes_).subspan(offset, length), crc_);
}

void FrameSplitter::take(FrameStatus status, std::size_t count, std::vector<FrameRecord>& out) {
  FrameRecord record;
  record.timeUs = times_.front();
  record.status = status;
  const auto taken = std::span(bytes_).first(count);
  record.raw =
      QByteArray(reinterpret_cast<const char*>(taken.data()), static_cast<qsizetype>(count));
  record.frame = decodeFrame(taken, crc_);
  out.push_back(std::move(record));
  bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(count));
  times_.erase(times_.begin(), times_.begin() + static_cast<std::ptrdiff_t>(count));
}

void FrameSplitter::scan(bool burstEnded, std::vector<FrameRecord>& out) {
  while (!bytes_.empty()) {
    const std::size_t size = bytes_.size();
    if (size < 2) {
      if (burstEnded) take(FrameStatus::Incomplete, size, out);
      return;
    }
    const std::size_t length = frameLengthAt(0);
    if (size >= length && goodFrameAt(0)) {
      take(FrameStatus::Ok, length, out);
      continue;
    }
    // A frame still arriving is waited for: its data may look like a frame by chance.
    if (size < length && !burstEnded) return;
    // The front is no good frame. A good frame further on tells where it ends: right after a
    // whole frame's length it was a frame with a bad checksum, anywhere else garbage.
    std::size_t next = 1;
    while (next + kOverhead <= size && !goodFrameAt(next)) ++next;
    if (next + kOverhead <= size) {
      take(next == length ? FrameStatus::BadChecksum : FrameStatus::Garbage, next, out);
      continue;
    }
    if (!burstEnded) {
      // A good frame may still follow and show where the bad one ends.
      if (size > kMostPending) take(FrameStatus::Garbage, length, out);
      return;
    }
    if (size == length) {
      take(FrameStatus::BadChecksum, size, out);
    } else {
      take(size < length ? FrameStatus::Incomplete : FrameStatus::Garbage, size, out);
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
  if (!bytes_.empty() && nowUs - times_.back() > kGapUs) scan(true, out);
}

std::optional<std::int64_t> FrameSplitter::deadline() const {
  if (bytes_.empty()) return std::nullopt;
  return times_.back() + kGapUs + 1;
}

void FrameSplitter::finish(std::vector<FrameRecord>& out) {
  scan(true, out);
}

void FramePairing::label(FrameRecord& record) {
  if (record.status != FrameStatus::Ok && record.status != FrameStatus::BadChecksum) {
    record.direction = FrameDirection::Unknown;
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
