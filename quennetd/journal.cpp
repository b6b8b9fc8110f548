#include "quennetd/journal.h"

#include "quennetd/journal_seen.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace quennetd {

namespace {

const QString kPending = QStringLiteral("pending");

// Puts what the system holds of a file, or of a folder's list of names, on the disk.
bool syncToDisk(const QString& path, int flags) {
  const QByteArray name = QFile::encodeName(path);
  const int fd = ::open(name.constData(), flags | O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool synced = ::fsync(fd) == 0;
  ::close(fd);
  return synced;
}

// The state column of each entry; a row in none of them is a pending note.
QString stateOf(Entry entry) {
  switch (entry) {
    case Entry::InDoubt:
      return QStringLiteral("in-doubt");
    case Entry::Lost:
      return QStringLiteral("lost");
    case Entry::Credit:
      break;
  }
  return QStringLiteral("credited");
}

std::optional<Entry> entryOf(const QString& state) {
  for (const Entry e : {Entry::Credit, Entry::InDoubt, Entry::Lost}) {
    if (stateOf(e) == state) return e;
  }
  return std::nullopt;
}

QString stamp() {
  return QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
}

}  // namespace

QString newEpoch() {
  return QString::number(QRandomGenerator::system()->generate64() & 0xFFFFFFFFFFFFULL, 16)
      .rightJustified(12, u'0');
}

Journal::Journal() = default;

Journal::~Journal() {
  close();
}

bool Journal::open(const QString& path) {
  if (openFile(path)) return true;
  // Nothing is written to a journal that failed a check: it is not left open half-way.
  close();
  return false;
}

bool Journal::openFile(const QString& path) {
  close();
  inUse_ = false;
  path_ = path;
  const QByteArray name = QFile::encodeName(path);
  // Held for as long as the journal is open: a second service on the same file stops here.
  lockFd_ = ::open(name.constData(), O_RDWR | O_CREAT | O_CLOEXEC, S_IRUSR | S_IWUSR);
  if (lockFd_ < 0) return sql_.fail(path, QString::fromLocal8Bit(std::strerror(errno)));
  if (::flock(lockFd_, LOCK_EX | LOCK_NB) != 0) {
    const int why = errno;
    ::close(lockFd_);
    lockFd_ = -1;
    inUse_ = why == EWOULDBLOCK;
    return sql_.fail(path, inUse_ ? QStringLiteral("in use by another quennetd")
                                  : QString::fromLocal8Bit(std::strerror(why)));
  }
  struct stat info {};
  if (::fstat(lockFd_, &info) != 0)
    return sql_.fail(path, QString::fromLocal8Bit(std::strerror(errno)));
  dev_ = info.st_dev;
  ino_ = info.st_ino;
  // Credits are nobody else's business; the log files SQLite makes take the same mode.
  if ((info.st_mode & (S_IRWXG | S_IRWXO)) != 0 && ::fchmod(lockFd_, S_IRUSR | S_IWUSR) != 0) {
    return sql_.fail(path, QString::fromLocal8Bit(std::strerror(errno)));
  }

  if (!sql_.open(path)) return false;
  QSqlDatabase db = sql_.database();
  QSqlQuery check(db);
  if (!check.exec(QStringLiteral("PRAGMA quick_check")) || !check.next()) {
    return sql_.fail(path, check.lastError().text());
  }
  if (check.value(0).toString() != u"ok") {
    return sql_.fail(path, QStringLiteral("damaged: ") + check.value(0).toString());
  }
  check.finish();
  // Each commit reaches the disk before it returns; the write-ahead log keeps commits cheap.
  QSqlQuery mode(db);
  if (!mode.exec(QStringLiteral("PRAGMA journal_mode=WAL")) || !mode.next() ||
      mode.value(0).toString().compare(QLatin1String("wal"), Qt::CaseInsensitive) != 0) {
    return sql_.fail(path, QStringLiteral("cannot use write-ahead logging"));
  }
  mode.finish();
  return sql_.exec(QStringLiteral("PRAGMA synchronous=FULL")) && migrate() && readIdentity();
}

// The journal's id (made now for a new file) and where its clock stands. Acknowledgements
// written before the clock was kept count from now.
bool Journal::readIdentity() {
  QSqlDatabase db = sql_.database();
  QSqlQuery meta(db);
  if (!meta.exec(
          QStringLiteral("SELECT key, value FROM meta WHERE key IN ('id', 'clock', 'writes')"))) {
    return sql_.fail(QStringLiteral("meta"), meta.lastError().text());
  }
  id_.clear();
  clockBase_ = 0;
  writes_ = 0;
  seenFile_.clear();
  while (meta.next()) {
    if (meta.value(0).toString() == u"id") id_ = meta.value(1).toString();
    if (meta.value(0).toString() == u"clock") clockBase_ = meta.value(1).toLongLong();
    if (meta.value(0).toString() == u"writes") writes_ = meta.value(1).toLongLong();
  }
  meta.finish();
  clockRun_.start();
  if (id_.isEmpty()) {
    id_ = newEpoch();
    QSqlQuery insert(db);
    insert.prepare(QStringLiteral("INSERT INTO meta (key, value) VALUES ('id', ?)"));
    insert.addBindValue(id_);
    if (!insert.exec()) return sql_.fail(QStringLiteral("meta"), insert.lastError().text());
  }
  QSqlQuery stamp(db);
  stamp.prepare(QStringLiteral(
      "UPDATE credit SET acked_clock = ? WHERE acked IS NOT NULL AND acked_clock IS NULL"));
  stamp.addBindValue(clockBase_);
  if (!stamp.exec()) return sql_.fail(QStringLiteral("clock"), stamp.lastError().text());
  return true;
}

bool Journal::setSeenFile(const QString& path) {
  seenFile_ = path;
  return writeSeen(seenFile_, {id_, writes_});
}

bool Journal::countWrite(QSqlDatabase& db) {
  QSqlQuery query(db);
  query.prepare(QStringLiteral("INSERT OR REPLACE INTO meta (key, value) VALUES ('writes', ?)"));
  query.addBindValue(QString::number(writes_ + 1));
  if (!query.exec()) return sql_.fail(QStringLiteral("writes"), query.lastError().text());
  return true;
}

// The state file follows the journal: never ahead of it, at most one write behind after a crash.
void Journal::wrote() {
  ++writes_;
  if (!seenFile_.isEmpty()) writeSeen(seenFile_, {id_, writes_});
}

qint64 Journal::clockMs() const {
  return clockBase_ + (clockRun_.isValid() ? clockRun_.elapsed() : 0);
}

bool Journal::writeClock(QSqlDatabase& db) {
  QSqlQuery query(db);
  query.prepare(QStringLiteral("INSERT OR REPLACE INTO meta (key, value) VALUES ('clock', ?)"));
  query.addBindValue(QString::number(clockMs()));
  if (!query.exec()) return sql_.fail(QStringLiteral("clock"), query.lastError().text());
  return true;
}

bool Journal::saveClock() {
  if (!isOpen()) return false;
  QSqlDatabase db = sql_.database();
  return writeClock(db);
}

// Version 0 kept a cursor per device and credits without state; each step below brings a file one
// version up, in one transaction.
bool Journal::migrate() {
  QSqlDatabase db = sql_.database();
  QSqlQuery version(db);
  if (!version.exec(QStringLiteral("PRAGMA user_version")) || !version.next()) {
    return sql_.fail(QStringLiteral("schema"), version.lastError().text());
  }
  const int found = version.value(0).toInt();
  version.finish();
  if (found > kSchemaVersion) {
    return sql_.fail(path_, QStringLiteral("written by a newer quennetd (schema %1)").arg(found));
  }
  if (found == kSchemaVersion) return true;
  if (!db.transaction()) return sql_.fail(QStringLiteral("begin"), db.lastError().text());
  const auto abandon = [&] {
    db.rollback();
    return false;
  };
  // Version 2: when each acknowledgement came, by the journal's clock.
  if (found == 1) {
    if (!sql_.exec(QStringLiteral("ALTER TABLE credit ADD COLUMN acked_clock INTEGER")) ||
        !sql_.exec(QStringLiteral("PRAGMA user_version=%1").arg(kSchemaVersion))) {
      return abandon();
    }
    return commit(db, QStringLiteral("schema"));
  }
  const QStringList tables = db.tables();
  if (tables.contains(QStringLiteral("credit"))) {
    for (const char* column : {"device TEXT", "state TEXT NOT NULL DEFAULT 'credited'",
                               "counter INTEGER", "position INTEGER", "acked_clock INTEGER"}) {
      if (!sql_.exec(QStringLiteral("ALTER TABLE credit ADD COLUMN ") + QLatin1String(column))) {
        return abandon();
      }
    }
  } else if (!sql_.exec(QStringLiteral(
                 "CREATE TABLE credit (id TEXT PRIMARY KEY, payload BLOB NOT NULL, recorded TEXT "
                 "NOT NULL, acked TEXT, device TEXT, state TEXT NOT NULL DEFAULT 'credited', "
                 "counter INTEGER, position INTEGER, acked_clock INTEGER)"))) {
    return abandon();
  }
  if (!sql_.exec(QStringLiteral("CREATE INDEX IF NOT EXISTS credit_open ON credit(acked)")) ||
      !sql_.exec(QStringLiteral("CREATE TABLE device (key TEXT PRIMARY KEY, epoch TEXT NOT NULL, "
                                "counter INTEGER NOT NULL, seq INTEGER NOT NULL DEFAULT 0)")) ||
      !sql_.exec(QStringLiteral("CREATE TABLE meta (key TEXT PRIMARY KEY, value TEXT)"))) {
    return abandon();
  }
  if (tables.contains(QStringLiteral("cursor"))) {
    QSqlQuery old(db);
    if (!old.exec(QStringLiteral("SELECT device, counter FROM cursor"))) {
      sql_.fail(QStringLiteral("schema"), old.lastError().text());
      return abandon();
    }
    while (old.next()) {
      if (!writeMark(db, old.value(0).toString(), {newEpoch(), old.value(1).toInt(), 0})) {
        return abandon();
      }
    }
    if (!sql_.exec(QStringLiteral("DROP TABLE cursor"))) return abandon();
  }
  if (!sql_.exec(QStringLiteral("PRAGMA user_version=%1").arg(kSchemaVersion))) return abandon();
  return commit(db, QStringLiteral("schema"));
}

void Journal::close() {
  sql_.close();
  if (lockFd_ >= 0) {
    ::close(lockFd_);
    lockFd_ = -1;
  }
}

bool Journal::isOpen() const {
  return sql_.isOpen();
}

bool Journal::stillThere() const {
  struct stat info {};
  const QByteArray name = QFile::encodeName(path_);
  return lockFd_ >= 0 && ::stat(name.constData(), &info) == 0 && info.st_dev == dev_ &&
         info.st_ino == ino_;
}

bool Journal::deleted() const {
  return !QFileInfo::exists(path_);
}

bool Journal::restore() {
  if (!isOpen() || !deleted()) return sql_.fail(path_, QStringLiteral("nothing to restore"));
  const QString copy = path_ + QStringLiteral(".restore");
  QFile::remove(copy);
  QSqlQuery vacuum(sql_.database());
  vacuum.prepare(QStringLiteral("VACUUM INTO ?"));
  vacuum.addBindValue(copy);
  if (!vacuum.exec()) {
    QFile::remove(copy);
    return sql_.fail(path_, QStringLiteral("cannot restore: ") + vacuum.lastError().text());
  }
  vacuum.finish();
  const QString path = path_;
  // The old file's log and its index go by the journal's name, and SQLite neither folds the log
  // of a file that is gone into it nor removes it when the file is closed: left there, it would
  // be read into the copy as the copy's own, over pages laid out otherwise (a damaged journal,
  // and the money taken meanwhile with it). All it held is in the copy. Only once they are gone
  // may the copy take the name.
  close();
  for (const char* end : {"-wal", "-shm"}) {
    const QString log = path + QLatin1String(end);
    if (QFile::exists(log) && !QFile::remove(log))
      return sql_.fail(log, QStringLiteral("cannot remove the deleted journal's log"));
  }
  // The copy is on the disk before it takes the name, and the name before money goes into it:
  // a power cut meanwhile leaves either no journal (found missing at start) or the whole copy.
  if (!syncToDisk(copy, 0)) return sql_.fail(copy, QStringLiteral("cannot sync the copy"));
  if (!QFile::rename(copy, path)) return sql_.fail(path, QStringLiteral("cannot restore"));
  if (!syncToDisk(QFileInfo(path).absolutePath(), O_DIRECTORY))
    return sql_.fail(path, QStringLiteral("cannot sync the journal's folder"));
  const QString seen = seenFile_;
  if (!open(path)) return false;
  if (!seen.isEmpty()) setSeenFile(seen);
  return true;
}

bool Journal::commit(QSqlDatabase& db, const QString& what) {
  if (db.commit()) return true;
  const QString detail = db.lastError().text();
  db.rollback();
  return sql_.fail(what, detail);
}

bool Journal::probe() {
  if (!isOpen()) return sql_.fail(path_, QStringLiteral("not open"));
  QSqlQuery query(sql_.database());
  query.prepare(QStringLiteral("INSERT OR REPLACE INTO meta (key, value) VALUES ('probe', ?)"));
  query.addBindValue(stamp());
  if (!query.exec()) return sql_.fail(path_, query.lastError().text());
  return true;
}

std::optional<DeviceMark> Journal::mark(const QString& device) {
  QSqlQuery query(sql_.database());
  query.prepare(QStringLiteral("SELECT epoch, counter, seq FROM device WHERE key = ?"));
  query.addBindValue(device);
  if (!query.exec() || !query.next()) return std::nullopt;
  return DeviceMark{query.value(0).toString(), query.value(1).toInt(), query.value(2).toLongLong()};
}

bool Journal::writeMark(QSqlDatabase& db, const QString& device, const DeviceMark& mark) {
  QSqlQuery query(db);
  query.prepare(QStringLiteral(
      "INSERT OR REPLACE INTO device (key, epoch, counter, seq) VALUES (?, ?, ?, ?)"));
  query.addBindValue(device);
  query.addBindValue(mark.epoch);
  query.addBindValue(mark.counter);
  query.addBindValue(mark.seq);
  if (!query.exec())
    return sql_.fail(QStringLiteral("device %1").arg(device), query.lastError().text());
  return true;
}

bool Journal::setMark(const QString& device, const DeviceMark& mark) {
  QSqlDatabase db = sql_.database();
  if (!db.isOpen()) return sql_.fail(QStringLiteral("journal"), QStringLiteral("not open"));
  if (!db.transaction()) return sql_.fail(QStringLiteral("begin"), db.lastError().text());
  if (!writeMark(db, device, mark) || !countWrite(db)) {
    db.rollback();
    return false;
  }
  if (!commit(db, QStringLiteral("device %1").arg(device))) return false;
  wrote();
  return true;
}

// One statement and the device's mark, in one transaction.
bool Journal::writeWithMark(const QString& what, const QString& statement,
                            const QVariantList& values, const QString& device,
                            const DeviceMark& mark) {
  QSqlDatabase db = sql_.database();
  if (!db.isOpen()) return sql_.fail(QStringLiteral("journal"), QStringLiteral("not open"));
  if (!db.transaction()) return sql_.fail(QStringLiteral("begin"), db.lastError().text());
  QSqlQuery query(db);
  query.prepare(statement);
  for (const QVariant& v : values) query.addBindValue(v);
  if (!query.exec()) {
    const QString detail = query.lastError().text();
    db.rollback();
    return sql_.fail(what, detail);
  }
  if (!writeMark(db, device, mark) || !countWrite(db)) {
    db.rollback();
    return false;
  }
  if (!commit(db, what)) return false;
  wrote();
  return true;
}

bool Journal::recordPending(const QString& device, const PendingNote& note,
                            const DeviceMark& mark) {
  return writeWithMark(
      QStringLiteral("note %1").arg(note.id),
      QStringLiteral(
          "INSERT OR IGNORE INTO credit (id, payload, recorded, device, state, counter, position) "
          "VALUES (?, '', ?, ?, ?, ?, ?)"),
      {note.id, stamp(), device, kPending, note.counter, note.position}, device, mark);
}

std::optional<PendingNote> Journal::pending(const QString& device) {
  QSqlQuery query(sql_.database());
  query.prepare(QStringLiteral(
      "SELECT id, counter, position FROM credit WHERE device = ? AND state = ? ORDER BY rowid "
      "DESC LIMIT 1"));
  query.addBindValue(device);
  query.addBindValue(kPending);
  if (!query.exec() || !query.next()) return std::nullopt;
  return PendingNote{query.value(0).toString(), query.value(1).toInt(), query.value(2).toInt()};
}

bool Journal::dropPending(const QString& device, const QString& id, const DeviceMark& mark) {
  return writeWithMark(QStringLiteral("note %1").arg(id),
                       QStringLiteral("DELETE FROM credit WHERE id = ? AND state = ?"),
                       {id, kPending}, device, mark);
}

bool Journal::recordCredit(const QString& device, const JournalCredit& credit,
                           const DeviceMark& mark) {
  // A pending note becomes a credit or a note in doubt; an id already written is the same entry
  // again, kept as first written.
  return writeWithMark(
      QStringLiteral("credit %1").arg(credit.id),
      QStringLiteral(
          "INSERT INTO credit (id, payload, recorded, device, state) VALUES (?, ?, ?, ?, ?) "
          "ON CONFLICT(id) DO UPDATE SET payload = excluded.payload, recorded = excluded.recorded, "
          "state = excluded.state WHERE state = 'pending'"),
      {credit.id, credit.payload, stamp(), device, stateOf(credit.entry)}, device, mark);
}

bool Journal::acknowledge(const QStringList& ids) {
  QSqlDatabase db = sql_.database();
  if (!db.isOpen()) return sql_.fail(QStringLiteral("journal"), QStringLiteral("not open"));
  if (!db.transaction()) return sql_.fail(QStringLiteral("begin"), db.lastError().text());
  if (!sql_.acknowledgeEach(
          db,
          QStringLiteral("UPDATE credit SET acked = ?, acked_clock = ? WHERE id = ? AND "
                         "acked IS NULL AND state <> 'pending'"),
          ids, stamp(), clockMs())) {
    return false;
  }
  if (!writeClock(db)) {
    db.rollback();
    return false;
  }
  return commit(db, QStringLiteral("ack"));
}

QList<JournalCredit> Journal::outstanding() {
  QList<JournalCredit> credits;
  QSqlQuery query(sql_.database());
  if (!query.exec(QStringLiteral("SELECT id, payload, state FROM credit WHERE acked IS NULL AND "
                                 "state <> 'pending' ORDER BY rowid"))) {
    sql_.fail(QStringLiteral("outstanding"), query.lastError().text());
    return credits;
  }
  while (query.next()) {
    const auto entry = entryOf(query.value(2).toString());
    if (!entry) continue;
    credits.append({query.value(0).toString(), query.value(1).toByteArray(), *entry});
  }
  return credits;
}

QList<QByteArray> Journal::unacknowledged() {
  QList<QByteArray> list;
  QSqlQuery query(sql_.database());
  if (!query.exec(QStringLiteral("SELECT payload FROM credit WHERE acked IS NULL AND state IN "
                                 "('%1', '%2') ORDER BY rowid")
                      .arg(stateOf(Entry::Credit), stateOf(Entry::InDoubt)))) {
    sql_.fail(QStringLiteral("unacknowledged"), query.lastError().text());
    return list;
  }
  while (query.next()) list.append(query.value(0).toByteArray());
  return list;
}

CreditTotals Journal::totalsSince(const QDateTime& since) {
  CreditTotals totals;
  QSqlQuery query(sql_.database());
  query.prepare(QStringLiteral("SELECT payload FROM credit WHERE state = ? AND recorded >= ?"));
  query.addBindValue(stateOf(Entry::Credit));
  query.addBindValue(since.toUTC().toString(Qt::ISODateWithMs));
  if (!query.exec()) {
    sql_.fail(QStringLiteral("totals"), query.lastError().text());
    return totals;
  }
  while (query.next()) {
    const QJsonObject o = QJsonDocument::fromJson(query.value(0).toByteArray()).object();
    ++totals.credits;
    totals.value += o.value(QLatin1String("value")).toInteger();
  }
  return totals;
}

bool Journal::prune(qint64 ageMs) {
  const qint64 limit = clockMs() - ageMs;
  if (limit <= 0) return true;
  QSqlQuery query(sql_.database());
  query.prepare(QStringLiteral("DELETE FROM credit WHERE acked IS NOT NULL AND acked_clock < ?"));
  query.addBindValue(limit);
  if (!query.exec()) return sql_.fail(QStringLiteral("prune"), query.lastError().text());
  return true;
}

void Journal::checkpoint() {
  saveClock();
  sql_.exec(QStringLiteral("PRAGMA wal_checkpoint(TRUNCATE)"));
}

}  // namespace quennetd
