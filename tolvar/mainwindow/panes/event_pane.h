#pragma once
// The newest event in large coloured text, the event buffer as read, and the escrow buttons
// that appear while a note waits in escrow.

#include <cstdint>

#include "tolvar/mainwindow/window/form_parts.h"

class QColor;
class QLabel;
class QPushButton;
class QTreeWidget;

namespace tolvar {

// Route codes of RouteBill and the "no request waiting" marker.
enum RouteCode : std::uint8_t {
  kRouteReturn = 0,
  kRouteStack = 1,
  kRouteHold = 255,
  kRouteNone = 2,
};

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
