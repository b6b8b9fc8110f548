#pragma once
// What opening a serial port tells the user beyond "it failed": the fix for a port they may not
// open, and whether the adapter's driver gave the port low latency.

#include <QString>

#include "quennet/link/serial_line.h"
#include "quennet/quennet_export.h"

namespace quennet {

/// What the driver said when an opened port asked for low latency (Linux).
enum class LowLatency {
  NotAsked,     ///< The port is not open, or the platform has no such request.
  Granted,      ///< The driver turned low latency on (an FTDI adapter's latency timer is 1 ms).
  AlreadyOn,    ///< Low latency was on already; nothing was changed.
  Unsupported,  ///< The device has no such setting (a pseudo-terminal, a built-in UART).
  Refused,      ///< The driver knows the setting but refused the change.
};

/// The group that may read and write `device` (its group when that group has both rights),
/// else "dialout", the group of serial ports on Debian.
QUENNET_EXPORT QString serialPortGroup(const QString& device);

/// The reason and the fix, in one line, when this user may not open `device`: join the port's
/// group (`sudo usermod -aG dialout $USER`), then log in again. Every program says this text.
QUENNET_EXPORT QString permissionDeniedText(const QString& device);

/// What a port that failed (or could not be opened) reads as in a status line:
/// "Comms Error: " and the failure's description.
QUENNET_EXPORT QString commsErrorText(const QString& description);

/// What a program says when `port` did not open: "cannot open PATH: " and the line's reason, or
/// that the port is busy when another program holds a port this user may read and write.
QUENNET_EXPORT QString openFailureText(const QString& port, const LineError& error);

}  // namespace quennet
