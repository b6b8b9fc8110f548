#pragma once
// What lblEvent shows for the newest event of a buffer.

#include <cstdint>

#include <QColor>
#include <QString>

namespace tolvar {

inline const QColor kEventRed(255, 0, 0);
inline const QColor kEventGreen(0, 192, 0);
inline const QColor kEventOrange(255, 128, 0);

struct EventDisplay {
  QString text;         // empty: the label keeps its text
  QColor colour;        // invalid: the label keeps its colour
  bool escrow = false;  // the escrow buttons appear
  // The note held has left escrow: stacked, given back (the hold time ran out) or jammed.
  bool leavesEscrow = false;
};

// Result pair (A, B): A = 0 is a status event with code B, else note A took route B.
EventDisplay decodeEvent(std::uint8_t a, std::uint8_t b);

// An event counter back at 0: the device was reset, powered up or replaced, and has come up
// refusing every note until the host enables it again.
EventDisplay counterRestartDisplay();

}  // namespace tolvar
