#pragma once
// Where the window opens: the stored position when the window can be seen there, else the
// nearest place on the primary screen.

#include <QList>
#include <QPoint>
#include <QRect>
#include <QSize>

namespace tolvar {

// `screens` are the screens' available areas; the first is the primary one. The window counts
// as seen when enough of its top edge (where it is grabbed and moved) lies on one screen.
QPoint visibleWindowPosition(QPoint stored, QSize frame, const QList<QRect>& screens);
// Where a window without a stored position opens: centred on the primary screen, its title bar
// below the screen's top edge.
QPoint centredWindowPosition(QSize frame, const QList<QRect>& screens);
// The available areas of the screens, the primary one first.
QList<QRect> availableScreenAreas();

}  // namespace tolvar
