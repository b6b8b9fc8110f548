#include "quennetd/journal.h"

#include <atomic>

#include <QDateTime>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace quennetd {

namespace {

std::atomic<int> connections{0};

}  // namespace

Journal::Journal()
    : connection_(QStringLiteral("quennetd-journal-%1").arg(connections.fetch_add(1))) {}

Journal::~Journal() {
  close();
}

bool Journal::fail(const QString& what, const QString& detail) {
  error_ = what + QStringLiteral(": ") + detail;
  return false;
}

bool Journal::exec(const QString& statement) {
  QSqlQuery query(QSqlDatabase::database(connection_, false));
  if (!query.exec(statement)) return fail(statement, query.lastError().text());
  return true;
}

bool Journal::open(const QString& path) {
  close();
  QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection_);
  db.setDatabaseName(path);
  if (!db.open()) return fail(path, db.lastError().text());
  // Each commit reaches the disk before it returns; the write-ahead log keeps commits cheap.
  QSqlQuery mode(db);
  if (!mode.exec(QStringLiteral("PRAGMA journal_mode=WAL")) || !mode.next() ||
      mode.value(0).toString().compare(QLatin1String("wal"), Qt::CaseInsensitive) != 0) {
    return fail(path, QStringLiteral("cannot use write-ahead logging"));
  }
  return exec(QStringLiteral("PRAGMA synchronous=FULL")) &&
         exec(QStringLiteral("CREATE TABLE IF NOT EXISTS credit (id TEXT PRIMARY KEY, "
                             "payload BLOB NOT NULL, recorded TEXT NOT NULL, acked TEXT)")) &&
         exec(QStringLiteral("CREATE INDEX IF NOT EXISTS credit_open ON credit(acked)")) &&
         exec(QStringLiteral(
             "CREATE TABLE IF NOT EXISTS cursor (device TEXT PRIMARY KEY, counter INTEGER)"));
}

void Journal::close() {
  if (QSqlDatabase::contains(connection_)) {
    QSqlDatabase::database(connection_, false).close();
    QSqlDatabase::removeDatabase(connection_);
  }
}

bool Journal::isOpen() const {
  return QSqlDatabase::contains(connection_) && QSqlDatabase::database(connection_, false).isOpen();
}

bool Journal::record(const JournalCredit& credit, const QString& device, int counter) {
  QSqlDatabase db = QSqlDatabase::database(connection_, false);
  if (!db.isOpen()) return fail(QStringLiteral("journal"), QStringLiteral("not open"));
  if (!db.transaction()) return fail(QStringLiteral("begin"), db.lastError().text());
  QSqlQuery insert(db);
  insert.prepare(
      QStringLiteral("INSERT OR IGNORE INTO credit (id, payload, recorded) VALUES (?, ?, ?)"));
  insert.addBindValue(credit.id);
  insert.addBindValue(credit.payload);
  insert.addBindValue(QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs));
  QSqlQuery place(db);
  place.prepare(QStringLiteral("INSERT OR REPLACE INTO cursor (device, counter) VALUES (?, ?)"));
  place.addBindValue(device);
  place.addBindValue(counter);
  // An id already in the journal is the same credit again: it is kept as first written.
  if (!insert.exec() || (!device.isEmpty() && !place.exec())) {
    const QString detail =
        insert.lastError().isValid() ? insert.lastError().text() : place.lastError().text();
    db.rollback();
    return fail(QStringLiteral("credit %1").arg(credit.id), detail);
  }
  if (!db.commit()) {
    const QString detail = db.lastError().text();
    db.rollback();
    return fail(QStringLiteral("commit"), detail);
  }
  return true;
}

std::optional<int> Journal::cursor(const QString& device) {
  QSqlQuery query(QSqlDatabase::database(connection_, false));
  query.prepare(QStringLiteral("SELECT counter FROM cursor WHERE device = ?"));
  query.addBindValue(device);
  if (!query.exec() || !query.next()) return std::nullopt;
  return query.value(0).toInt();
}

bool Journal::setCursor(const QString& device, int counter) {
  QSqlQuery query(QSqlDatabase::database(connection_, false));
  query.prepare(QStringLiteral("INSERT OR REPLACE INTO cursor (device, counter) VALUES (?, ?)"));
  query.addBindValue(device);
  query.addBindValue(counter);
  if (!query.exec()) return fail(QStringLiteral("cursor"), query.lastError().text());
  return true;
}

bool Journal::acknowledge(const QString& id) {
  QSqlQuery query(QSqlDatabase::database(connection_, false));
  query.prepare(QStringLiteral("UPDATE credit SET acked = ? WHERE id = ? AND acked IS NULL"));
  query.addBindValue(QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs));
  query.addBindValue(id);
  if (!query.exec()) return fail(QStringLiteral("ack %1").arg(id), query.lastError().text());
  return query.numRowsAffected() > 0;
}

QList<JournalCredit> Journal::outstanding() {
  QList<JournalCredit> credits;
  QSqlQuery query(QSqlDatabase::database(connection_, false));
  if (!query.exec(
          QStringLiteral("SELECT id, payload FROM credit WHERE acked IS NULL ORDER BY rowid"))) {
    fail(QStringLiteral("outstanding"), query.lastError().text());
    return credits;
  }
  while (query.next()) credits.append({query.value(0).toString(), query.value(1).toByteArray()});
  return credits;
}

void Journal::checkpoint() {
  exec(QStringLiteral("PRAGMA wal_checkpoint(TRUNCATE)"));
}

}  // namespace quennetd
