#pragma once
// The decoded form of a logged frame, shared by `bnvsim --trace`, `quennet monitor` and the
// test bench's traffic log: one line of text, or one JSON object.

#include <QJsonObject>
#include <QString>

#include "quennet/link/frame_record.h"
#include "quennet/quennet_export.h"

namespace quennet {

/// "host", "device" or "line" (bytes that form no frame).
QUENNET_EXPORT QString directionText(FrameDirection direction);
/// "ok", "bad checksum", "incomplete frame", "garbage", "timeout", "error".
QUENNET_EXPORT QString frameStatusText(FrameStatus status);
/// The header's name for a frame, or what the bytes are when they form no frame.
QUENNET_EXPORT QString frameName(const FrameRecord& record);
/// Bytes as upper-case hexadecimal pairs ("28 00 01 FE D9"), or in decimal ("40 0 1 254 217").
QUENNET_EXPORT QString bytesText(const QByteArray& bytes, bool hexadecimal = true);

/// One line: time in seconds, direction, destination, source or CRC, header and its name, data,
/// status, and the raw bytes; a reply adds the command it answers and how long it took.
///   0.000000 host   dest 40 src 1 hdr 254 Simple poll  data []  ok  | 28 00 01 FE D9
QUENNET_EXPORT QString frameLine(const FrameRecord& record, double seconds);

/// The keys time, dir, dest, src, header, name, data and ok. dest, src and header are null where
/// the bytes form no frame; src is the host's address for host frames and the device that was
/// asked for replies when the CRC takes the source's place.
QUENNET_EXPORT QJsonObject frameJson(const FrameRecord& record, double seconds);

}  // namespace quennet
