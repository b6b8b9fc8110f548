#include "quennet/bus/event_texts.h"

#include <array>

namespace quennet {

namespace {

struct StatusText {
  std::uint8_t code;
  const char* text;
};

constexpr std::array<StatusText, 13> kBillStatus = {{
    {0, "Validator Re-Enabled"},
    {1, "Note Returned"},
    {2, "Note Not Recognised"},
    {4, "Note Inhibited"},
    {6, "Note Jammed in Validator"},
    {7, "Note Jammed in Stacker"},
    {9, "Note Cheat Suspected"},
    {10, "Stacker OK"},
    {11, "Cash Box Removed"},
    {12, "Cash Box Inserted"},
    {13, "Stacker Jammed"},
    {14, "Stacker Full"},
    {18, "Anti String Gate Activated"},
}};

}  // namespace

QString billStatusText(std::uint8_t code) {
  for (const StatusText& row : kBillStatus) {
    if (row.code == code) return QString::fromLatin1(row.text);
  }
  return {};
}

QString billEventText(std::uint8_t a, std::uint8_t b) {
  if (a == 0) {
    const QString text = billStatusText(b);
    return text.isEmpty() ? QStringLiteral("Status %1").arg(b) : text;
  }
  if (b == 0) return QStringLiteral("Note %1 stacked.").arg(a);
  if (b == 1) return QStringLiteral("Note %1 in escrow.").arg(a);
  return QStringLiteral("Note %1 route %2").arg(a).arg(b);
}

QString coinEventText(std::uint8_t a, std::uint8_t b) {
  if (a != 0) return QStringLiteral("Coin %1 accepted, sorter path %2").arg(a).arg(b);
  switch (b) {
    case 1:
      return QStringLiteral("Coin Rejected");
    case 2:
      return QStringLiteral("Coin Inhibited");
    default:
      return QStringLiteral("Coin Error %1").arg(b);
  }
}

}  // namespace quennet
