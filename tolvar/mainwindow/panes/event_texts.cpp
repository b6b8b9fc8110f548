#include "tolvar/mainwindow/panes/event_texts.h"

#include "quennet/bus/event_texts.h"
#include "quennet/link/protocol_events.h"

namespace tolvar {

EventDisplay decodeEvent(std::uint8_t a, std::uint8_t b) {
  const bool leaves = quennet::leavesEscrow(a, b);
  if (a == 0) {
    // Every status event is something the validator did not do: (0, 0) under a moving counter
    // is a note refused in master inhibit. A status code without a name leaves the label's text
    // as it was.
    return {quennet::billStatusText(b), kEventRed, false, leaves};
  }
  switch (quennet::eventKind(quennet::EventBuffer::Bill, a, b)) {
    case quennet::EventKind::Credit:
      return {quennet::billEventText(a, b), kEventGreen, false, leaves};
    case quennet::EventKind::Escrow:
      return {quennet::billEventText(a, b), kEventOrange, true};
    default:
      return {};
  }
}

EventDisplay counterRestartDisplay() {
  return {QStringLiteral("Validator Inhibited (restarted)"), kEventRed, false, true};
}

}  // namespace tolvar
