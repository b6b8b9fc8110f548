#pragma once
// Splits the byte stream of a ccTalk line that we only listen to into frames: by the length
// byte, the checksum and the 50 ms inter-byte gap after which every receiver drops a partial
// frame. Bytes that form no frame are reported as such; nothing stops the splitter.

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "quennet/link/frame_record.h"
#include "quennet/link/protocol.h"
#include "quennet/quennet_export.h"

namespace quennet {

/// Splits the bytes of a line that is only listened to into frames, by the length byte, the
/// checksum and the inter-byte gap.
class QUENNET_EXPORT FrameSplitter {
 public:
  /// The inter-byte gap after which a partial frame is dropped.
  static constexpr std::int64_t kGapUs = std::int64_t{kInterByteGapMs} * 1000;

  /// A splitter for CRC frames (true) or 8-bit checksum frames.
  explicit FrameSplitter(bool crcMode) : crc_(crcMode) {}

  /// Bytes that arrived at `timeUs`; what they complete is appended to `out` in line order,
  /// with the direction still Unknown (FramePairing tells host frames from replies).
  void feed(std::span<const std::uint8_t> bytes, std::int64_t timeUs,
            std::vector<FrameRecord>& out);
  /// Time has passed without bytes: a burst whose last byte is older than the gap is resolved.
  void expire(std::int64_t nowUs, std::vector<FrameRecord>& out);
  /// When expire() would resolve the pending bytes, if any are pending.
  std::optional<std::int64_t> deadline() const;
  /// The end of the input: everything pending is resolved.
  void finish(std::vector<FrameRecord>& out);

 private:
  /// Takes off the front what can be decided; `burstEnded` means no byte of this burst follows.
  void scan(bool burstEnded, std::vector<FrameRecord>& out);
  void take(FrameStatus status, std::size_t count, std::vector<FrameRecord>& out);
  std::size_t size() const { return bytes_.size() - head_; }
  std::uint8_t at(std::size_t offset) const { return bytes_[head_ + offset]; }
  std::size_t frameLengthAt(std::size_t offset) const;
  // A whole frame from `offset` whose checksum is right and that someone could have sent.
  bool goodFrameAt(std::size_t offset) const;
  // The fields say a frame someone could send: a reply to the host with ACK, NAK or BUSY, or
  // a host frame (8-bit: from the host) to another address with a command header.
  bool sendableAt(std::size_t offset) const;
  // The byte at `offset` arrived later than the one before it (it may start another burst).
  bool arrivedApartAt(std::size_t offset) const;

  bool crc_;
  // Pending bytes are those from head_ on; the front is dropped by moving head_, and the
  // vectors are compacted once the dropped part outweighs the rest, so each byte is moved a
  // bounded number of times.
  std::vector<std::uint8_t> bytes_;
  std::vector<std::int64_t> times_;
  std::size_t head_ = 0;
};

/// Tells host frames from replies (replies go to the host, address 1) and pairs each reply with
/// the host frame before it: its peer, the header it answers and how long it took.
class QUENNET_EXPORT FramePairing {
 public:
  /// Sets the record's direction and, for a reply, its peer, request header and delay.
  void label(FrameRecord& record);

 private:
  std::optional<FrameRecord> lastHostFrame_;
};

}  // namespace quennet
