#include "tolvar/mainwindow/event_texts.h"

namespace tolvar {

namespace {

QString statusText(std::uint8_t code) {
  switch (code) {
    case 0:
      return QStringLiteral("Validator Re-Enabled");
    case 1:
      return QStringLiteral("Note Returned");
    case 2:
      return QStringLiteral("Note Not Recognised");
    case 4:
      return QStringLiteral("Note Inhibited");
    case 6:
      return QStringLiteral("Note Jammed in Validator");
    case 7:
      return QStringLiteral("Note Jammed in Stacker");
    case 9:
      return QStringLiteral("Note Cheat Suspected");
    case 10:
      return QStringLiteral("Stacker OK");
    case 11:
      return QStringLiteral("Cash Box Removed");
    case 12:
      return QStringLiteral("Cash Box Inserted");
    case 13:
      return QStringLiteral("Stacker Jammed");
    case 14:
      return QStringLiteral("Stacker Full");
    case 18:
      return QStringLiteral("Anti String Gate Activated");
    default:
      return {};
  }
}

}  // namespace

EventDisplay decodeEvent(std::uint8_t a, std::uint8_t b) {
  if (a == 0) {
    constexpr std::uint8_t kReturned = 1;
    constexpr std::uint8_t kJammedInValidator = 6;
    constexpr std::uint8_t kJammedInStacker = 7;
    const bool leaves = b == kReturned || b == kJammedInValidator || b == kJammedInStacker;
    return {statusText(b), b == 0 ? kEventGreen : kEventRed, false, leaves};
  }
  switch (b) {
    case 0:
      return {QStringLiteral("Note %1 stacked.").arg(a), kEventGreen, false, true};
    case 1:
      return {QStringLiteral("Note %1 in escrow.").arg(a), kEventOrange, true};
    default:
      return {};
  }
}

}  // namespace tolvar
