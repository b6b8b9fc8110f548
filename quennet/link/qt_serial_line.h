#pragma once
// SerialLine over QSerialPort, addressed by device path (/dev/ttyUSB0, /dev/pts/3, COM1).

#include <functional>
#include <memory>

#include <QElapsedTimer>
#include <QEventLoop>
#include <QSerialPort>
#include <QTimer>

#include "quennet/link/port_access.h"
#include "quennet/link/serial_line.h"

namespace quennet {

/// A settings string such as "9600,n,8,1" split into its parts.
struct PortSettings {
  qint32 baud = 9600;                                     ///< bits per second
  QSerialPort::Parity parity = QSerialPort::NoParity;     ///< n, e, o, m or s
  QSerialPort::DataBits dataBits = QSerialPort::Data8;    ///< 5 to 8
  QSerialPort::StopBits stopBits = QSerialPort::OneStop;  ///< 1, 1.5 or 2
};

/// Parses "baud,parity,data,stop" (parity n, e, o, m or s; stop 1, 1.5 or 2). Returns false and
/// leaves `out` alone when the text is not a valid settings string.
QUENNET_EXPORT bool parsePortSettings(const QString& text, PortSettings* out);

/// Linux name of Windows-style port number n: /dev/ttyS(n-1); COMn elsewhere.
QUENNET_EXPORT QString platformPortName(int portNumber);

/// The device a port name opens: a name with a slash, or naming a file in the current folder
/// ("bnv" beside the program's working folder), is that file; any other name ("ttyUSB0", "COM3")
/// is the platform's port of that name.
QUENNET_EXPORT QString portLocation(const QString& name);

/// The serial line of a real device through QSerialPort. On Linux an open asks the driver for low
/// latency.
///
/// In the application's thread a wait runs a local event loop, so the window keeps painting; so
/// does one in another thread running its loop, unless setWakeUp() gave it a descriptor to be
/// woken through. Anywhere else a wait sleeps on the port's descriptor with its deadline, and a
/// frame goes straight to the driver.
class QUENNET_EXPORT QtSerialLine : public SerialLine {
 public:
  QtSerialLine();
  ~QtSerialLine() override;

  /// Lets another thread break into this line's waits: while one sleeps on the descriptor, `fd`
  /// turning readable (an eventfd or a pipe another thread writes to) wakes it; the line reads
  /// it empty and runs `onWake`, which may close the port (the wait then ends) or leave it open
  /// (the wait goes on to its deadline). A wait that runs an event loop does not watch `fd`. The
  /// line does not own `fd`: it must stay open while the line lives. -1: nothing wakes a wait.
  void setWakeUp(int fd, std::function<void()> onWake);

  void setDeviceName(const QString& name) override;
  bool setSettings(const QString& settings) override;
  QString settings() const override { return settingsText_; }

  bool open() override;
  void close() override;
  bool isOpen() const override;
  bool write(const QByteArray& bytes) override;
  int waitUntilSent() override;
  int bytesAvailable() override;
  QByteArray read(int maxBytes) override;
  void waitForBytes(int count, const QDeadlineTimer& deadline) override;
  void pause(int ms) override;
  void discard() override;
  LineError lastError() const override { return error_; }
  QString deviceName() const override { return deviceName_; }
  /// What the driver said to the low-latency request of the last open. Closing the port leaves
  /// the setting as it is: clearing it would also reset a latency timer the user chose.
  LowLatency lowLatency() const { return lowLatency_; }

 private:
  void applySettings();
  void recordPortError();
  // True when this thread's waits run an event loop, false when they sleep on the descriptor.
  bool waitsInEventLoop() const;
  // Hands `bytes` to the driver without QSerialPort's buffer; false when the driver refused them.
  bool writeToDriver(const QByteArray& bytes);
  void waitOnDescriptor(int count, const QDeadlineTimer& deadline);
  // Reads what the driver holds into QSerialPort's buffer, without waiting.
  void lookWithoutWaiting();
  // Reads the wake-up descriptor empty and runs what it asks for.
  void takeWakeUp();

  std::unique_ptr<QSerialPort> port_;
  std::unique_ptr<QTimer> waitTimer_;
  /// The event loop of the wait in progress, and the byte count that ends it.
  QEventLoop* waitLoop_ = nullptr;
  int waitCount_ = 0;
  int wakeFd_ = -1;
  std::function<void()> onWake_;
  QString deviceName_;
  QString settingsText_ = QStringLiteral("9600,n,8,1");
  PortSettings settings_;
  LineError error_;
  LowLatency lowLatency_ = LowLatency::NotAsked;
  // The last write: when it began and how many bytes it handed over.
  QElapsedTimer writeClock_;
  int written_ = 0;
};

}  // namespace quennet
