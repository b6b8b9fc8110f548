#include "quennet/link/frame_text.h"

#include <QJsonValue>

#include "quennet/link/header_names.h"
#include "quennet/link/protocol.h"

namespace quennet {

namespace {

bool isFrame(const FrameRecord& record) {
  return record.frame.complete &&
         (record.status == FrameStatus::Ok || record.status == FrameStatus::BadChecksum ||
          record.status == FrameStatus::Error);
}

// The sender's address where it is known: position 3 in 8-bit mode; in CRC mode the host for
// host frames and the device that was asked for replies.
QJsonValue sourceOf(const FrameRecord& record) {
  if (!record.frame.crcMode) return record.frame.source;
  if (record.direction == FrameDirection::Host) return kHostAddress;
  if (record.direction == FrameDirection::Device && record.peer >= 0) return record.peer;
  return QJsonValue::Null;
}

// The loose one-byte answers of the devices to an address poll or clash.
bool isAddressAnswers(const FrameRecord& record) {
  return record.direction == FrameDirection::Device && record.requestHeader >= 0 &&
         gathersAnswers(static_cast<std::uint8_t>(record.requestHeader)) &&
         !record.frame.complete && record.status == FrameStatus::Ok;
}

}  // namespace

QString directionText(FrameDirection direction) {
  switch (direction) {
    case FrameDirection::Host:
      return QStringLiteral("host");
    case FrameDirection::Device:
      return QStringLiteral("device");
    case FrameDirection::Unknown:
      break;
  }
  return QStringLiteral("line");
}

QString frameStatusText(FrameStatus status) {
  switch (status) {
    case FrameStatus::Ok:
      return QStringLiteral("ok");
    case FrameStatus::BadChecksum:
      return QStringLiteral("bad checksum");
    case FrameStatus::Incomplete:
      return QStringLiteral("incomplete frame");
    case FrameStatus::Garbage:
      return QStringLiteral("garbage");
    case FrameStatus::Timeout:
      return QStringLiteral("timeout");
    case FrameStatus::Error:
      break;
  }
  return QStringLiteral("error");
}

QString frameName(const FrameRecord& record) {
  if (isAddressAnswers(record)) return QStringLiteral("Address answers");
  if (!isFrame(record)) {
    if (record.status == FrameStatus::Timeout) {
      // Bytes that stopped short of a whole reply are not silence.
      return record.raw.isEmpty()
                 ? QStringLiteral("No reply")
                 : QStringLiteral("Truncated reply of %1 bytes").arg(record.raw.size());
    }
    return frameStatusText(record.status);
  }
  if (record.direction == FrameDirection::Device) {
    return replyName(record.frame.header, record.frame.dataLength);
  }
  return headerName(record.frame.header);
}

QString bytesText(const QByteArray& bytes, bool hexadecimal) {
  QString text;
  text.reserve(bytes.size() * 3);
  for (qsizetype i = 0; i < bytes.size(); ++i) {
    if (i > 0) text += QLatin1Char(' ');
    const auto byte = static_cast<std::uint8_t>(bytes[i]);
    text += hexadecimal ? QStringLiteral("%1").arg(byte, 2, 16, QLatin1Char('0')).toUpper()
                        : QString::number(byte);
  }
  return text;
}

QString frameLine(const FrameRecord& record, double seconds) {
  QString line =
      QStringLiteral("%1 %2").arg(seconds, 12, 'f', 6).arg(directionText(record.direction), -6);
  if (isFrame(record)) {
    const DecodedFrame& f = record.frame;
    line += QStringLiteral(" dest %1").arg(f.destination);
    line += f.crcMode ? QStringLiteral(" crc %1").arg(
                            QStringLiteral("%1").arg(f.crc, 4, 16, QLatin1Char('0')).toUpper())
                      : QStringLiteral(" src %1").arg(f.source);
    line += QStringLiteral(" hdr %1 %2  data [%3]  %4")
                .arg(f.header)
                .arg(frameName(record), bytesText(f.data), frameStatusText(record.status));
  } else {
    line += QLatin1Char(' ') + frameName(record);
    if (!record.caption.isEmpty()) line += QStringLiteral(" (%1)").arg(record.caption);
  }
  if (!record.raw.isEmpty()) line += QStringLiteral("  | ") + bytesText(record.raw);
  if (record.direction == FrameDirection::Device && record.requestHeader >= 0) {
    line += QStringLiteral("  <- %1 from %2").arg(record.requestHeader).arg(record.peer);
    if (record.durationUs >= 0) {
      line +=
          QStringLiteral(" in %1 ms").arg(static_cast<double>(record.durationUs) / 1000, 0, 'f', 1);
    }
  }
  return line;
}

QJsonObject frameJson(const FrameRecord& record, double seconds) {
  const bool frame = isFrame(record);
  return QJsonObject{
      {QStringLiteral("time"), seconds},
      {QStringLiteral("dir"), directionText(record.direction)},
      {QStringLiteral("dest"), frame ? QJsonValue(record.frame.destination) : QJsonValue()},
      {QStringLiteral("src"), frame ? sourceOf(record) : QJsonValue()},
      {QStringLiteral("header"), frame ? QJsonValue(record.frame.header) : QJsonValue()},
      {QStringLiteral("name"), frameName(record)},
      {QStringLiteral("data"), bytesText(frame ? record.frame.data : record.raw)},
      {QStringLiteral("ok"),
       (frame && record.status == FrameStatus::Ok) || isAddressAnswers(record)},
  };
}

}  // namespace quennet
