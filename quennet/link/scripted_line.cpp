#include "quennet/link/scripted_line.h"

#include <QThread>

#include "quennet/link/qt_serial_line.h"
#include "quennet/link/quennet_error.h"

namespace quennet {

bool ScriptedLine::setSettings(const QString& settings) {
  PortSettings parsed;
  if (!parsePortSettings(settings, &parsed)) return false;
  settings_ = settings;
  return true;
}

bool ScriptedLine::open() {
  if (openFails_) {
    error_ = LineError{kErrInvalidPortNumber, errorCaption(kErrInvalidPortNumber)};
    return false;
  }
  error_ = {};
  open_ = true;
  return true;
}

bool ScriptedLine::write(const QByteArray& bytes) {
  if (!open_) return false;
  ++writeCalls_;
  log_ += bytes;
  pendingWrite_ += bytes;
  if (responder_) (answerOnWait_ ? answered_ : incoming_) += responder_(pendingWrite_);
  return true;
}

QByteArray ScriptedLine::read(int maxBytes) {
  const QByteArray out = incoming_.left(maxBytes);
  incoming_.remove(0, out.size());
  return out;
}

void ScriptedLine::waitForBytes(int count, const QDeadlineTimer& deadline) {
  waitBudgets_.push_back(deadline.remainingTime());
  incoming_ += answered_;
  answered_.clear();
  if (breakOnWait_) {
    breakOnWait_ = false;
    error_ = LineError{kErrHardwareUnavailable, QStringLiteral("The device was removed")};
    return;
  }
  // Nothing more will arrive from a script: let the deadline pass as a silent device would.
  if (bytesAvailable() < count) {
    const qint64 left = deadline.remainingTime();
    if (left > 0) QThread::msleep(static_cast<unsigned long>(left));
  }
}

void ScriptedLine::discard() {
  incoming_.clear();
  answered_.clear();
  pendingWrite_.clear();
  error_ = {};
}

}  // namespace quennet
