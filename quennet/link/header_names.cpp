#include "quennet/link/header_names.h"

#include "quennet/link/protocol.h"

namespace quennet {

QString headerName(std::uint8_t header) {
  if (const HeaderInfo* info = headerInfo(header)) return QString::fromLatin1(info->name);
  return QStringLiteral("Header %1").arg(header);
}

QString replyName(std::uint8_t header, int dataLength) {
  switch (header) {
    case kHeaderAck:
      return dataLength == 0 ? QLatin1String(kAckText) : QStringLiteral("Reply");
    case kHeaderNak:
      return QStringLiteral("NAK");
    case kHeaderBusy:
      return QStringLiteral("BUSY");
    default:
      return headerName(header);
  }
}

}  // namespace quennet
