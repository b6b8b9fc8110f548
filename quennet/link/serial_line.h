#pragma once
// The one access path of the link engine to a serial line. Kept as small as the operations a
// transaction needs so tests can script a device in memory.

#include <QByteArray>
#include <QDeadlineTimer>
#include <QString>

#include "quennet/quennet_export.h"

namespace quennet {

/// A line failure with the number and description the control reports in its message boxes.
struct LineError {
  int number = 0;       ///< an ErrorNumber (8002 ... 8015 for a port); 0: no failure
  QString description;  ///< what failed, for the user
  /// True for a failure.
  bool isError() const { return number != 0; }
};

/// The link engine's one access path to a serial line: as small as a transaction needs, so tests
/// can script a device in memory.
class QUENNET_EXPORT SerialLine {
 public:
  virtual ~SerialLine() = default;

  /// The device path (/dev/ttyUSB0, /dev/pts/3, COM1) and the settings string ("9600,n,8,1").
  /// setSettings returns false and changes nothing when the string does not parse.
  ///@{
  virtual void setDeviceName(const QString& name) = 0;
  virtual bool setSettings(const QString& settings) = 0;
  virtual QString settings() const = 0;
  ///@}

  /// Opens the device with the settings; false, with lastError(), when it cannot.
  virtual bool open() = 0;
  /// Closes the device; a wait in progress ends.
  virtual void close() = 0;
  /// True while the device is open.
  virtual bool isOpen() const = 0;

  /// Hands the bytes to the line; false when the line failed.
  virtual bool write(const QByteArray& bytes) = 0;
  /// Returns once the bytes written have left the port (its output drained, a wait in the
  /// driver, never a spin), with the number of bytes received and not yet read by then: they
  /// arrived before the frame was out, so no device sent them in answer to it. -1 when the line
  /// failed. A line that cannot tell (one without wire time, such as a pseudo-terminal, or one
  /// that looks too late, when a reply may have begun) returns 0.
  virtual int waitUntilSent() { return 0; }
  /// Bytes received and not yet read.
  virtual int bytesAvailable() = 0;
  /// Takes up to `maxBytes` of the bytes received.
  virtual QByteArray read(int maxBytes) = 0;
  /// Returns once `count` bytes are waiting, the deadline has passed or the line failed.
  /// Never spins: implementations sleep on the descriptor or in an event loop.
  virtual void waitForBytes(int count, const QDeadlineTimer& deadline) = 0;
  /// True when the line knows that no byte will arrive before the next write (a script that has
  /// played out): a wait then ends at once, as if its deadline had passed. A port never knows.
  virtual bool silentUntilWrite() { return false; }
  /// Lets `ms` milliseconds pass while the caller's event loop keeps running.
  virtual void pause(int ms) = 0;
  /// Drops everything received and not yet sent.
  virtual void discard() = 0;

  /// The last failure of open, write or read; number 0 when none.
  virtual LineError lastError() const = 0;
  /// The device name actually used, for tool tips and traces.
  virtual QString deviceName() const = 0;
};

}  // namespace quennet
