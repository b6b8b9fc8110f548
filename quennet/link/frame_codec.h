#pragma once
// The bytes of one frame: completing a command frame (checksum or CRC, then encryption), checking
// a reply, finding a reply in bytes that may carry noise, and a frame's clear form.

#include <cstdint>

#include <QByteArray>
#include <QString>

#include "quennet/link/frame.h"
#include "quennet/quennet_export.h"

namespace quennet {

/// How a link frames its messages: the 8-bit sum or the CRC, and the key when it encrypts (CRC
/// frames only).
struct QUENNET_EXPORT FrameCodec {
  bool crc = false;
  bool encrypted = false;
  KeyDigits key{};

  /// Completes `frame` (positions 1..N+4 filled) in place and returns its bytes as they go on the
  /// line; `corrupt` spoils the checksum or CRC by one.
  QByteArray seal(FrameBuffer& frame, bool corrupt) const;
  /// Whether the reply of `length` bytes in `reply` (in the clear) carries the right checksum or
  /// CRC; if not, `errorText` gets "Checksum Error <received> <> <computed>" (8-bit: computed
  /// first).
  bool verify(const FrameBuffer& reply, int length, QString* errorText) const;
  /// The earliest offset at or after `from` where a whole reply to the host verifies; -1 if none.
  int findReply(const QByteArray& bytes, int from) const;
  /// The frame `onLine` as it reads in the clear (itself where the link does not encrypt).
  QByteArray inClear(const QByteArray& onLine) const;
};

/// The 1-based position of the first byte where `echo` differs from `written`; 0 when they agree.
QUENNET_EXPORT int echoDifference(const QByteArray& echo, const QByteArray& written);

}  // namespace quennet
