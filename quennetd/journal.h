#pragma once
// The credit journal: every credit is written here, synchronously, before anybody hears of it, and
// stays until its acknowledgement arrives. A note is written as pending before it is stacked, and
// becomes a credit once the validator reports it stacked. Per device the journal keeps where its
// event counter stands, the epoch of that counter (a new one after every wrap or reset) and how
// many credits it has given, so that a restart neither repeats nor skips an event and the same
// event always gets the same id.
//
// One service per journal: the file is locked while open, and only its owner may read it.

#include <sys/types.h>

#include <optional>

#include <QDateTime>
#include <QElapsedTimer>
#include <QList>
#include <QSqlDatabase>
#include <QString>
#include <QStringList>
#include <QVariantList>

#include "quennetd/sql_connection.h"

namespace quennetd {

// What a row of the journal tells the consumer. A credit: money taken. In doubt: a note routed
// to the stacker that the validator never reported stacked nor returned (it reset meanwhile);
// the consumer settles it. Lost: events that fell out of a device's buffer unread. Each is
// published until acknowledged.
enum class Entry { Credit, InDoubt, Lost };

struct JournalCredit {
  QString id;
  QByteArray payload;  // the message as published
  Entry entry = Entry::Credit;
};

// Where a device stands: its counter as last taken into account, in which epoch, and the sequence
// number of its last credit.
struct DeviceMark {
  QString epoch;
  int counter = 0;
  qint64 seq = 0;
  bool operator==(const DeviceMark&) const = default;
};

// A note routed to the stacker, not yet reported stacked.
struct PendingNote {
  QString id;
  int counter = 0;  // of the event that put it in escrow
  int position = 0;
};

// Credits booked since a time: how many, and their value in minor units where known.
struct CreditTotals {
  int credits = 0;
  qint64 value = 0;
};

// What is acknowledged is kept this long by the journal's clock (request ids with it, so that a
// request sent again within it is not run twice), and pruned this often.
inline constexpr int kPruneIntervalMs = 3600 * 1000;
inline constexpr qint64 retentionMs(int days) {
  return qint64{days} * 24 * 3600 * 1000;
}

// A fresh epoch: random, so that no two devices, journals or resets ever share one.
QString newEpoch();

class Journal {
 public:
  // The versions of the file's tables; open() brings an older file up to the newest.
  static constexpr int kSchemaVersion = 2;

  Journal();
  ~Journal();
  Journal(const Journal&) = delete;
  Journal& operator=(const Journal&) = delete;

  // Opens (creating when needed) the journal at `path`: locked, mode 0600, checked, WAL, every
  // commit synced to disk. Closed again when any of it fails.
  bool open(const QString& path);
  void close();
  bool isOpen() const;
  // The last open() failed because another process holds the journal.
  bool inUse() const { return inUse_; }
  QString errorString() const { return sql_.errorString(); }
  // False once the file at the path is gone or is another file than the one opened.
  bool stillThere() const;
  // Nothing at all at the path any more: the file was deleted (not replaced by another).
  bool deleted() const;
  // A journal deleted while open is written back whole from the file still open, at its path,
  // and opened there: nothing it held is forgotten. Every other connection to it must be closed
  // first. False, with the error, when it could not be; the old file stays open then.
  bool restore();
  // A write that changes nothing but must reach the disk: whether the journal takes writes.
  bool probe();

  std::optional<DeviceMark> mark(const QString& device);
  bool setMark(const QString& device, const DeviceMark& mark);
  // A note about to be stacked, with the mark of the event that put it in escrow.
  bool recordPending(const QString& device, const PendingNote& note, const DeviceMark& mark);
  std::optional<PendingNote> pending(const QString& device);
  // The pending note went back to the customer.
  bool dropPending(const QString& device, const QString& id, const DeviceMark& mark);
  // Writes a credit (a new one, or a pending note now stacked, same id) and the device's mark in
  // one transaction; true once it is on disk. A credit already written is kept as it was.
  // An in-doubt entry takes the place of the pending note of the same id; a loss is written once.
  bool recordCredit(const QString& device, const JournalCredit& credit, const DeviceMark& mark);
  // Marks credits, in-doubt notes and losses booked by the consumer, in one transaction. False
  // when the journal could not take it.
  bool acknowledge(const QStringList& ids);
  // Credits, notes in doubt and losses not yet acknowledged, oldest first.
  QList<JournalCredit> outstanding();
  // Credits and notes in doubt not yet acknowledged, oldest first: their payloads.
  QList<QByteArray> unacknowledged();
  // Credits (not notes in doubt, nor pending ones) recorded since `since`.
  CreditTotals totalsSince(const QDateTime& since);
  // Drops what was acknowledged longer than `ageMs` ago by the journal's clock.
  bool prune(qint64 ageMs);
  // Writes the log back into the main file (at shutdown).
  void checkpoint();

  // The journal's own clock: milliseconds the services that kept it have run, counted by the
  // monotonic clock and carried from one run to the next. Unlike the wall clock it never jumps:
  // what is kept for a time is kept for that long whatever the wall clock does.
  qint64 clockMs() const;
  // Writes the clock to the file (it is also written with every batch of acknowledgements).
  bool saveClock();
  // The journal's id, made when the file was: a copy has the same, a new file another.
  QString id() const { return id_; }
  // Writes of marks and money the file has taken, ever: an older copy has fewer.
  qint64 writes() const { return writes_; }
  // Where the id and the count of writes are kept up to date after every write; written now.
  bool setSeenFile(const QString& path);

 private:
  bool openFile(const QString& path);
  bool migrate();
  bool readIdentity();
  bool writeClock(QSqlDatabase& db);
  bool writeMark(QSqlDatabase& db, const QString& device, const DeviceMark& mark);
  bool writeWithMark(const QString& what, const QString& statement, const QVariantList& values,
                     const QString& device, const DeviceMark& mark);
  bool commit(QSqlDatabase& db, const QString& what);
  // Counts a write in the transaction under way; `wrote` once it is committed.
  bool countWrite(QSqlDatabase& db);
  void wrote();

  SqlConnection sql_{QStringLiteral("journal")};
  QString path_;
  bool inUse_ = false;
  int lockFd_ = -1;
  dev_t dev_ = 0;
  ino_t ino_ = 0;
  QString id_;
  qint64 writes_ = 0;
  QString seenFile_;
  qint64 clockBase_ = 0;
  QElapsedTimer clockRun_;
};

}  // namespace quennetd
