#include "tolvar/mainwindow/panes/event_texts.h"

#include "quennet/bus/event_texts.h"

namespace tolvar {

EventDisplay decodeEvent(std::uint8_t a, std::uint8_t b) {
  if (a == 0) {
    constexpr std::uint8_t kReturned = 1;
    constexpr std::uint8_t kJammedInValidator = 6;
    constexpr std::uint8_t kJammedInStacker = 7;
    const bool leaves = b == kReturned || b == kJammedInValidator || b == kJammedInStacker;
    // A status code without a name leaves the label's text as it was.
    return {quennet::billStatusText(b), b == 0 ? kEventGreen : kEventRed, false, leaves};
  }
  switch (b) {
    case 0:
      return {quennet::billEventText(a, b), kEventGreen, false, true};
    case 1:
      return {quennet::billEventText(a, b), kEventOrange, true};
    default:
      return {};
  }
}

EventDisplay counterRestartDisplay() {
  return {QStringLiteral("Validator Inhibited (restarted)"), kEventRed, false, true};
}

}  // namespace tolvar
