#include "tolvar/mainwindow/panes/event_texts.h"

#include "quennet/bus/event_texts.h"
#include "quennet/link/protocol_events.h"

namespace tolvar {

EventDisplay decodeEvent(std::uint8_t a, std::uint8_t b) {
  const bool leaves = quennet::leavesEscrow(a, b);
  if (a == 0) {
    const bool reEnabled = b == static_cast<std::uint8_t>(quennet::BillStatus::MasterInhibit);
    // A status code without a name leaves the label's text as it was.
    return {quennet::billStatusText(b), reEnabled ? kEventGreen : kEventRed, false, leaves};
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
