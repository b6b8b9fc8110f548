#include "tolvar/mainwindow/window/window_placement.h"

#include <algorithm>

#include <QGuiApplication>
#include <QScreen>

namespace tolvar {

namespace {

// Enough of the top edge to see the window and drag it by its title.
constexpr int kGripWidth = 100;
constexpr int kGripHeight = 20;

}  // namespace

QPoint visibleWindowPosition(QPoint stored, QSize frame, const QList<QRect>& screens) {
  if (screens.isEmpty()) return stored;
  const QRect topEdge(stored, QSize(frame.width(), kGripHeight));
  for (const QRect& screen : screens) {
    const QRect seen = screen.intersected(topEdge);
    if (seen.width() >= std::min(kGripWidth, frame.width()) && seen.height() >= kGripHeight) {
      return stored;
    }
  }
  const QRect& primary = screens.first();
  // Pulled in as far as it must go; a window larger than the screen keeps its top-left corner on
  // it.
  return {std::max(primary.left(), std::min(stored.x(), primary.right() + 1 - frame.width())),
          std::max(primary.top(), std::min(stored.y(), primary.bottom() + 1 - frame.height()))};
}

QPoint centredWindowPosition(QSize frame, const QList<QRect>& screens) {
  if (screens.isEmpty()) return {};
  const QRect& primary = screens.first();
  const QPoint centred = primary.center() - QPoint(frame.width() / 2, frame.height() / 2);
  return {std::max(primary.left(), centred.x()), std::max(primary.top(), centred.y())};
}

QList<QRect> availableScreenAreas() {
  QList<QRect> screens;
  if (QScreen* primary = QGuiApplication::primaryScreen()) screens << primary->availableGeometry();
  for (QScreen* screen : QGuiApplication::screens()) screens << screen->availableGeometry();
  return screens;
}

}  // namespace tolvar
