#pragma once
// A time-stamped capture of a ccTalk line: what the host sent and what the devices answered, in
// the order and at the times the bytes were seen. Text, one chunk a line:
//   # ccTalk line capture
//   0.000000 host 28 00 01 FE D9
//   0.000412 device 01 00 28 00 D7
// Times are seconds from the start of the capture. A file without the first line is taken as
// raw bytes with no times.

#include <cstdint>
#include <optional>
#include <vector>

#include <QByteArray>
#include <QString>

#include "quennet/link/frame_record.h"
#include "quennet/quennet_export.h"

namespace quennet {

/// The first line of a capture file.
inline constexpr char kCaptureFirstLine[] = "# ccTalk line capture";

/// Bytes seen on the line at one time, in one direction.
struct CaptureChunk {
  std::int64_t timeUs = 0;  ///< microseconds from the start of the capture
  FrameDirection direction = FrameDirection::Unknown;  ///< host or device
  QByteArray bytes;                                    ///< the bytes
};

/// One line of a capture, without its line end.
QUENNET_EXPORT QByteArray captureLine(const CaptureChunk& chunk);

/// One line of a capture (after the first), or nullopt when it does not read.
QUENNET_EXPORT std::optional<CaptureChunk> parseCaptureLine(const QByteArray& line);

/// Reads a capture, or raw bytes as one chunk at time 0. A line that does not parse is an error:
/// nullopt with the line's number in `error`.
QUENNET_EXPORT std::optional<std::vector<CaptureChunk>> parseCapture(const QByteArray& content,
                                                                     QString* error);

}  // namespace quennet
