#pragma once
// An in-memory serial line: a script plays the device. Used by unit tests and benchmarks that
// need no operating-system port.

#include <functional>
#include <vector>

#include "quennet/link/serial_line.h"

namespace quennet {

/// An in-memory serial line whose device is a script, for tests and benchmarks.
class ScriptedLine : public SerialLine {
 public:
  /// Called after every write with all bytes written since the last discard; returns the bytes
  /// the device puts on the line in answer (echo included), or nothing yet.
  using Responder = std::function<QByteArray(const QByteArray& writtenSoFar)>;

  /// The script that plays the device.
  void setResponder(Responder responder) { responder_ = std::move(responder); }
  /// Bytes that arrive now, whatever is written.
  void deliver(const QByteArray& bytes) { incoming_ += bytes; }
  /// Bytes that arrive `ms` milliseconds from now (a device answering in its own time slot).
  void deliverLater(int ms, const QByteArray& bytes);
  /// Bytes that arrive while the next frame is leaving, before the device has read it (a reply
  /// repeated late, another device's answer): waitUntilSent() counts them.
  void deliverWhileSending(const QByteArray& bytes) { whileSending_ += bytes; }

  /// Every byte written since construction or clearLog(), and the number of write calls.
  ///@{
  const QByteArray& writtenLog() const { return log_; }
  int writeCalls() const { return writeCalls_; }
  void clearLog() {
    log_.clear();
    writeCalls_ = 0;
    waitBudgets_.clear();
  }
  ///@}

  /// The device's answer arrives only once the host waits for it, as a real reply does; each
  /// wait records the time it had left, so tests read the time-out a transaction chose.
  void setAnswerOnWait(bool on) { answerOnWait_ = on; }
  /// Milliseconds left before the deadline at each wait since the last clearLog().
  const std::vector<qint64>& waitBudgets() const { return waitBudgets_; }

  /// Once the script has nothing more to deliver, waits end at once instead of sleeping to
  /// their deadlines (true), for runs where the time-outs themselves are not under test.
  void setEndsWaitsWhenPlayedOut(bool on) { endsWaitsWhenPlayedOut_ = on; }
  bool silentUntilWrite() override {
    return endsWaitsWhenPlayedOut_ && later_.empty() && answered_.isEmpty() && !breakOnWait_;
  }

  /// open() fails from now on (true) or succeeds again (false).
  void setOpenFails(bool fails) { openFails_ = fails; }
  /// The line breaks (as an unplugged adapter does) on the next wait after a write.
  void breakOnNextWait() {
    breakOnWait_ = true;
    writtenSinceBreakAsked_ = false;
  }

  void setDeviceName(const QString& name) override { deviceName_ = name; }
  bool setSettings(const QString& settings) override;
  QString settings() const override { return settings_; }
  bool open() override;
  void close() override { open_ = false; }
  bool isOpen() const override { return open_; }
  bool write(const QByteArray& bytes) override;
  int waitUntilSent() override;
  int bytesAvailable() override;
  QByteArray read(int maxBytes) override;
  void waitForBytes(int count, const QDeadlineTimer& deadline) override;
  void pause(int) override {}
  void discard() override;
  LineError lastError() const override { return error_; }
  QString deviceName() const override { return deviceName_; }

 private:
  Responder responder_;
  QString deviceName_ = QStringLiteral("scripted");
  QString settings_ = QStringLiteral("9600,n,8,1");
  QByteArray incoming_;
  QByteArray answered_;  ///< held back until the host waits (answerOnWait_)
  QByteArray pendingWrite_;
  QByteArray whileSending_;
  int arrivedWhileSending_ = 0;
  QByteArray log_;
  int writeCalls_ = 0;
  bool open_ = false;
  bool openFails_ = false;
  bool breakOnWait_ = false;
  bool writtenSinceBreakAsked_ = false;
  bool answerOnWait_ = false;
  bool endsWaitsWhenPlayedOut_ = false;
  std::vector<qint64> waitBudgets_;
  struct Later {
    QDeadlineTimer due;
    QByteArray bytes;
  };
  std::vector<Later> later_;
  LineError error_;
};

}  // namespace quennet
