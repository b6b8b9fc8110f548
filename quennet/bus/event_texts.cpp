#include "quennet/bus/event_texts.h"

#include <algorithm>

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

QString coinEventText(std::uint8_t a, std::uint8_t b, const QString& coinId) {
  if (a != 0 && !coinId.isEmpty()) {
    return QStringLiteral("Coin %1 (%2) accepted, sorter path %3").arg(a).arg(coinId).arg(b);
  }
  if (a != 0) return QStringLiteral("Coin %1 accepted, sorter path %2").arg(a).arg(b);
  const StatusCode* row = coinStatus(b);
  if (row != nullptr && *row->name != '\0') return QString::fromLatin1(row->name);
  if (const std::optional<int> type = coinInhibitedType(b)) {
    return QStringLiteral("Coin Inhibited (Type %1)").arg(*type);
  }
  return QStringLiteral("Coin Error %1").arg(b);
}

std::optional<int> coinValue(const QString& coinId) {
  // Country (2 letters), value (3 digits), issue.
  constexpr qsizetype kValueAt = 2;
  constexpr qsizetype kValueDigits = 3;
  if (coinId.size() < kValueAt + kValueDigits || !coinId[0].isLetter()) return std::nullopt;
  const QStringView digits = QStringView(coinId).mid(kValueAt, kValueDigits);
  if (!std::all_of(digits.begin(), digits.end(), [](QChar c) { return c.isDigit(); })) {
    return std::nullopt;
  }
  return digits.toInt();
}

}  // namespace quennet
