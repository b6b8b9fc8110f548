#include "quennet/bus/event_texts.h"

#include "quennet/link/protocol_events.h"

namespace quennet {

QString billStatusText(std::uint8_t code) {
  const StatusCode* row = billStatus(code);
  return row != nullptr ? QString::fromLatin1(row->name) : QString();
}

QString billEventText(std::uint8_t a, std::uint8_t b) {
  if (a == 0) {
    const QString text = billStatusText(b);
    return text.isEmpty() ? QStringLiteral("Status %1").arg(b) : text;
  }
  if (b == kNoteStacked) return QStringLiteral("Note %1 stacked.").arg(a);
  if (b == kNoteInEscrow) return QStringLiteral("Note %1 in escrow.").arg(a);
  return QStringLiteral("Note %1 route %2").arg(a).arg(b);
}

QString coinEventText(std::uint8_t a, std::uint8_t b) {
  if (a != 0) return QStringLiteral("Coin %1 accepted, sorter path %2").arg(a).arg(b);
  const StatusCode* row = coinStatus(b);
  if (row != nullptr && *row->name != '\0') return QString::fromLatin1(row->name);
  return QStringLiteral("Coin Error %1").arg(b);
}

}  // namespace quennet
