#include "quennet/testing/scripted_line.h"

#include <algorithm>

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
  writtenSinceBreakAsked_ = true;
  log_ += bytes;
  pendingWrite_ += bytes;
  // What the line carried while the frame went out comes before any answer to it.
  arrivedWhileSending_ += static_cast<int>(whileSending_.size());
  incoming_ += whileSending_;
  whileSending_.clear();
  if (responder_) (answerOnWait_ ? answered_ : incoming_) += responder_(pendingWrite_);
  return true;
}

int ScriptedLine::waitUntilSent() {
  if (!open_) return -1;
  const int early = std::min(arrivedWhileSending_, static_cast<int>(incoming_.size()));
  arrivedWhileSending_ = 0;
  return early;
}

void ScriptedLine::deliverLater(int ms, const QByteArray& bytes) {
  const QDeadlineTimer due(ms, Qt::PreciseTimer);
  auto at = later_.begin();
  while (at != later_.end() && !(due < at->due)) ++at;
  later_.insert(at, {due, bytes});
}

int ScriptedLine::bytesAvailable() {
  while (!later_.empty() && later_.front().due.hasExpired()) {
    incoming_ += later_.front().bytes;
    later_.erase(later_.begin());
  }
  return static_cast<int>(incoming_.size());
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
  if (breakOnWait_ && writtenSinceBreakAsked_) {
    breakOnWait_ = false;
    error_ = LineError{kErrHardwareUnavailable, QStringLiteral("The device was removed")};
    return;
  }
  // Bytes due later arrive at their time, if the wait lasts that long.
  while (bytesAvailable() < count && !later_.empty()) {
    const QDeadlineTimer wake = std::min(later_.front().due, deadline);
    const qint64 left = wake.remainingTime();
    if (left > 0) QThread::msleep(static_cast<unsigned long>(left));
    if (deadline.hasExpired()) return;
  }
  // Nothing more will arrive from a script: let the deadline pass as a silent device would.
  if (bytesAvailable() < count) {
    const qint64 left = deadline.remainingTime();
    if (left > 0) QThread::msleep(static_cast<unsigned long>(left));
  }
}

void ScriptedLine::discard() {
  // Bytes due later have not arrived yet: they still come.
  incoming_.clear();
  answered_.clear();
  pendingWrite_.clear();
  arrivedWhileSending_ = 0;
  error_ = {};
}

}  // namespace quennet
