#pragma once
// The journal and whether it takes writes. One state says it all: ok; failing (it cannot be
// opened or written, tried again every few seconds); full (its disk has no room left, tried
// again likewise); lost (deleted or replaced under the service and not to be written back: never
// written again, what is taken is kept only in the file still open). No money is taken unless
// it is ok.

#include <functional>
#include <optional>

#include <QObject>
#include <QString>
#include <QTimer>

#include "quennetd/daemon_options.h"
#include "quennetd/journal.h"

namespace quennetd {

// Whether the journal's file is still there is looked at this often (a journal that failed is
// tried again every --journal-retry-ms).
inline constexpr int kJournalWatchMs = 1000;
// Less room than this on the journal's disk counts as full: no money is taken that might not be
// written.
inline constexpr qint64 kJournalRoomBytes = 64 * 1024;

class JournalHealth : public QObject {
  Q_OBJECT

 public:
  enum class State { Ok, Failing, Full, Lost };

  explicit JournalHealth(const DaemonOptions& options, QObject* parent = nullptr);

  Journal& journal() { return journal_; }
  State state() const { return state_; }
  bool ok() const { return state_ == State::Ok; }
  // "ok", "lost", or why it fails: what the status says.
  QString text() const;
  // What the service's one-line status adds; empty while ok.
  QString statusText() const;

  // Opens the journal at start. False with `error` for what no retry mends: a journal another
  // service holds, or one older than the last seen (without --accept-journal). Any other
  // failure leaves it failing, tried again.
  bool start(QString* error);
  void stop();
  // Whether the journal takes writes: what lets the service take money. Checks it is still the
  // file it was (a deleted one is written back from the file still open).
  bool writable();
  // Whether money already taken can be written: also to a journal lost, still held open.
  bool takes();
  // A write failed: no money is taken until a retry finds it well again.
  void failed(const QString& why);
  // Every second: still there, and room on its disk.
  void check();
  // Other connections to the file, closed while a deleted journal is written back.
  void setOtherConnections(std::function<void()> close, std::function<void()> reopen);

 signals:
  // The journal stopped taking writes (it was ok before): acceptance stops at once.
  void failedNow();
  // Ok again after a failure.
  void recovered();
  // The state or its reason changed.
  void changed();
  // A line for the log.
  void note(const QString& line);

 private:
  // Opens the journal and checks it is the one last written; false with `refusal` when it is
  // not (and --accept-journal was not given), false alone when it cannot be opened.
  bool open(QString* refusal);
  bool restore();
  void retry();
  void prune();
  void fail(State state, const QString& reason);
  // Why the journal's disk has no room; empty while it has.
  QString noRoom() const;

  DaemonOptions options_;
  Journal journal_;
  State state_ = State::Ok;
  QString reason_;
  QTimer retry_;
  QTimer prune_;
  std::function<void()> closeOthers_;
  std::function<void()> reopenOthers_;
};

}  // namespace quennetd
