#include "tolvar/mainwindow/event_texts.h"

#include "quennet/bus/event_texts.h"

namespace tolvar {

EventDisplay decodeEvent(std::uint8_t a, std::uint8_t b) {
  // A status code without a name leaves the label's text as it was.
  if (a == 0) return {quennet::billStatusText(b), b == 0 ? kEventGreen : kEventRed, false};
  switch (b) {
    case 0:
      return {quennet::billEventText(a, b), kEventGreen, false};
    case 1:
      return {quennet::billEventText(a, b), kEventOrange, true};
    default:
      return {};
  }
}

}  // namespace tolvar
