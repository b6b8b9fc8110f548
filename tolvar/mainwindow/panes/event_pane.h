#pragma once
// The newest event in large coloured text, the event buffer as read, and the escrow buttons
// that appear while a note waits in escrow.

#include <cstdint>

#include "quennet/link/protocol_events.h"
#include "tolvar/mainwindow/window/form_parts.h"

class QColor;
class QLabel;
class QPushButton;
class QTreeWidget;

namespace tolvar {

// Route codes of RouteBill, and the marker of no route request waiting.
using quennet::kRouteHold;
using quennet::kRouteReturn;
using quennet::kRouteStack;
inline constexpr std::uint8_t kRouteNone = 2;

class EventPane : public BodyPane {
  Q_OBJECT

 public:
  explicit EventPane(QWidget* body);

  void setEventColour(const QColor& colour);
  void setEventText(const QString& text);
  // The escrow buttons, shown while a note waits in escrow.
  void showEscrow(bool shown);
  // The button of a route request waiting to go out stays pressed in; kRouteNone: none.
  void showPendingRoute(std::uint8_t route);

  QLabel* lblEvent;
  QTreeWidget* lstvwEventBuffer;
  QWidget* fraNote;
  QPushButton* cmdStack;
  QPushButton* cmdReturn;
  QPushButton* cmdHoldNote;

 signals:
  // An escrow button was clicked (it has already flipped).
  void routePressed(std::uint8_t route);
};

}  // namespace tolvar
