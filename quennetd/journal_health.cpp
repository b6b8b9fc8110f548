#include "quennetd/journal_health.h"

#include <sys/statvfs.h>

#include <QFile>
#include <QFileInfo>

#include "quennetd/journal_seen.h"

namespace quennetd {

JournalHealth::JournalHealth(const DaemonOptions& options, QObject* parent)
    : QObject(parent), options_(options) {
  retry_.setInterval(options.journalRetryMs);
  connect(&retry_, &QTimer::timeout, this, &JournalHealth::retry);
  prune_.setInterval(kPruneIntervalMs);
  connect(&prune_, &QTimer::timeout, this, &JournalHealth::prune);
}

QString JournalHealth::text() const {
  switch (state_) {
    case State::Ok:
      return QStringLiteral("ok");
    case State::Lost:
      return QStringLiteral("lost");
    case State::Failing:
    case State::Full:
      break;
  }
  return reason_.isEmpty() ? QStringLiteral("cannot write") : reason_;
}

QString JournalHealth::statusText() const {
  if (state_ == State::Ok) return {};
  if (state_ == State::Lost) {
    return QStringLiteral("journal lost: %1 was deleted or replaced").arg(options_.journal);
  }
  return QStringLiteral("journal failed: ") + text();
}

void JournalHealth::setOtherConnections(std::function<void()> close, std::function<void()> reopen) {
  closeOthers_ = std::move(close);
  reopenOthers_ = std::move(reopen);
}

bool JournalHealth::start(QString* error) {
  QString refusal;
  if (!open(&refusal)) {
    if (!refusal.isEmpty()) {
      *error = refusal;
      return false;
    }
    if (journal_.inUse()) {
      *error = QStringLiteral("the journal %1 is in use by another quennetd").arg(options_.journal);
      return false;
    }
    // Every acceptor stays inhibited meanwhile; the status says why.
    state_ = State::Failing;
    reason_ = journal_.errorString();
    retry_.start();
  } else if (const QString full = noRoom(); !full.isEmpty()) {
    // A disk full before anything was offered: nothing is taken until there is room.
    state_ = State::Full;
    reason_ = full;
    retry_.start();
  }
  prune_.start();
  return true;
}

void JournalHealth::stop() {
  retry_.stop();
  prune_.stop();
}

bool JournalHealth::open(QString* refusal) {
  const QString seen = seenPath(options_);
  const std::optional<JournalSeen> last = readSeen(seen);
  // A journal gone is not made anew behind the service's back.
  if (last && !options_.acceptJournal && !QFileInfo::exists(options_.journal)) {
    *refusal = journalRefusal(options_.journal, std::nullopt, *last);
    return false;
  }
  if (!journal_.open(options_.journal)) return false;
  if (last && !options_.acceptJournal) {
    *refusal =
        journalRefusal(options_.journal, JournalSeen{journal_.id(), journal_.writes()}, *last);
    if (!refusal->isEmpty()) {
      journal_.close();
      return false;
    }
  }
  journal_.setSeenFile(seen);
  prune();
  return true;
}

void JournalHealth::prune() {
  if (journal_.isOpen() && state_ != State::Lost)
    journal_.prune(retentionMs(options_.retentionDays));
}

bool JournalHealth::writable() {
  if (state_ != State::Lost && journal_.isOpen() && !journal_.stillThere() && !restore()) {
    // Replaced, or deleted and not to be restored: nothing more is taken; what is written now
    // lives only as long as this service keeps the old file open.
    fail(State::Lost, {});
  }
  return state_ == State::Ok && journal_.isOpen();
}

bool JournalHealth::takes() {
  return writable() || (state_ == State::Lost && journal_.isOpen());
}

// A journal deleted under the service is written back from the file it still holds open, with
// everything in it: credits not acknowledged, request ids, where every device stands.
bool JournalHealth::restore() {
  if (!journal_.deleted()) return false;
  if (closeOthers_) closeOthers_();
  const bool restored = journal_.restore();
  if (reopenOthers_ && journal_.isOpen()) reopenOthers_();
  if (!restored) return false;
  emit note(QStringLiteral("the journal %1 was deleted: written back from the file still open")
                .arg(options_.journal));
  return true;
}

void JournalHealth::failed(const QString& why) {
  fail(state_ == State::Lost ? State::Lost : State::Failing, why);
}

void JournalHealth::fail(State state, const QString& reason) {
  const bool first = state_ == State::Ok;
  state_ = state;
  reason_ = reason;
  if (first) {
    // No acceptance without a journal.
    emit failedNow();
    if (state_ != State::Lost) retry_.start();
  }
  emit changed();
}

void JournalHealth::check() {
  if (!writable()) return;
  if (const QString full = noRoom(); !full.isEmpty()) fail(State::Full, full);
}

QString JournalHealth::noRoom() const {
  struct statvfs disk {};
  const QByteArray folder = QFile::encodeName(QFileInfo(options_.journal).absolutePath());
  if (::statvfs(folder.constData(), &disk) != 0) return {};
  const qint64 room = static_cast<qint64>(disk.f_bavail) * static_cast<qint64>(disk.f_frsize);
  if (room >= kJournalRoomBytes) return {};
  return QStringLiteral("disk full: %1 bytes free").arg(room);
}

void JournalHealth::retry() {
  if (state_ == State::Ok) return retry_.stop();
  if (state_ == State::Lost) return;
  const auto still = [this](State state, const QString& reason) {
    state_ = state;
    reason_ = reason;
    emit changed();
  };
  QString refusal;
  if (!journal_.isOpen() && !open(&refusal)) {
    return still(State::Failing, refusal.isEmpty() ? journal_.errorString() : refusal);
  }
  if (!journal_.probe()) return still(State::Failing, journal_.errorString());
  if (const QString full = noRoom(); !full.isEmpty()) return still(State::Full, full);
  state_ = State::Ok;
  reason_.clear();
  retry_.stop();
  emit recovered();
}

}  // namespace quennetd
