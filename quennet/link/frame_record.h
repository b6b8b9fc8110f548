#pragma once
// One entry of a frame log: a frame the host sent, a reply (or the lack of one), or bytes on a
// monitored line that form no frame.

#include <cstdint>

#include <QByteArray>
#include <QString>

#include "quennet/link/frame_decode.h"

namespace quennet {

/// Who put a frame on the line: the host, a device, or not known.
enum class FrameDirection : std::uint8_t { Host, Device, Unknown };

/// What became of a frame.
enum class FrameStatus : std::uint8_t {
  Ok,           ///< a frame whose checksum holds (a transaction's reply: result 0 or BUSY)
  BadChecksum,  ///< a whole frame whose checksum or CRC is wrong
  Incomplete,   ///< bytes cut off by the inter-byte gap or the end of input
  Garbage,      ///< bytes before a good frame that form no frame themselves
  Timeout,      ///< a transaction's reply did not arrive in time
  Error,        ///< a transaction failed otherwise (reply too long, misaddressed, port lost)
};

/// One entry of a frame log.
struct FrameRecord {
  std::int64_t timeUs = 0;  ///< monotonic clock (or capture time), microseconds
  FrameDirection direction = FrameDirection::Unknown;  ///< host frame or reply
  FrameStatus status = FrameStatus::Ok;                ///< what became of it
  QByteArray raw;                                      ///< the bytes as they were on the wire
  DecodedFrame frame;  ///< the frame in the clear (decrypted when the link encrypts)
  /// Replies: the device that was asked and the header it was asked with; -1 when not known.
  ///@{
  int peer = -1;
  int requestHeader = -1;
  ///@}
  /// Transactions of the link engine: result code and status caption.
  ///@{
  std::int16_t result = 0;
  QString caption;
  /// The device acknowledged the command: false for a NAK or a refusal byte (result 0 still).
  bool acknowledged = false;
  ///@}
  /// Replies: the transaction's duration (link engine), or the delay since the host frame
  /// (monitor), in microseconds; -1 when not known.
  std::int64_t durationUs = -1;
};

/// Told about every frame as it is logged; the link engine calls it on the thread that runs the
/// transaction, after the transaction has ended.
class FrameObserver {
 public:
  virtual ~FrameObserver() = default;
  /// One record: a frame sent, a reply, or what became of it.
  virtual void frameLogged(const FrameRecord& record) = 0;
};

}  // namespace quennet
