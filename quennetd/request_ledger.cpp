#include "quennetd/request_ledger.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace quennetd {

namespace {

QString stamp(const QDateTime& time) {
  return time.toUTC().toString(Qt::ISODateWithMs);
}

QString nowStamp() {
  return stamp(QDateTime::currentDateTimeUtc());
}

}  // namespace

RequestLedger::RequestLedger() = default;

RequestLedger::~RequestLedger() {
  close();
}

bool RequestLedger::open(const QString& path, std::function<qint64()> clock) {
  close();
  clock_ = std::move(clock);
  // The journal's own connection may be writing: wait for it rather than fail.
  if (!sql_.open(path, QStringLiteral("QSQLITE_BUSY_TIMEOUT=5000"))) return false;
  return sql_.exec(QStringLiteral("PRAGMA synchronous=FULL")) &&
         sql_.exec(QStringLiteral("CREATE TABLE IF NOT EXISTS request (key TEXT PRIMARY KEY, "
                                  "request BLOB NOT NULL, reply BLOB, recorded TEXT NOT NULL)")) &&
         sql_.exec(QStringLiteral(
             "CREATE TABLE IF NOT EXISTS payout (id TEXT PRIMARY KEY, request_key TEXT NOT NULL, "
             "request_id BLOB NOT NULL, address INTEGER NOT NULL, requested INTEGER NOT NULL, "
             "coin_value INTEGER, count_before INTEGER NOT NULL, paid INTEGER, value INTEGER, "
             "payload BLOB, recorded TEXT NOT NULL, settled TEXT, acked TEXT)")) &&
         sql_.exec(QStringLiteral("CREATE INDEX IF NOT EXISTS payout_open ON payout(acked)")) &&
         addColumn(QStringLiteral("payout"), QStringLiteral("serial TEXT")) &&
         addColumn(QStringLiteral("payout"), QStringLiteral("acked_clock INTEGER")) &&
         addColumn(QStringLiteral("request"), QStringLiteral("answered_clock INTEGER")) &&
         stampUnaged();
}

// Rows acknowledged or answered before the journal kept its clock are aged from now.
bool RequestLedger::stampUnaged() {
  const QString now = QString::number(clock_());
  return sql_.exec(QStringLiteral("UPDATE payout SET acked_clock = %1 WHERE acked IS NOT NULL AND "
                                  "acked_clock IS NULL")
                       .arg(now)) &&
         sql_.exec(QStringLiteral("UPDATE request SET answered_clock = %1 WHERE reply IS NOT NULL "
                                  "AND answered_clock IS NULL")
                       .arg(now));
}

// A column later versions added, unless the table has it.
bool RequestLedger::addColumn(const QString& table, const QString& column) {
  QSqlQuery info(sql_.database());
  if (!info.exec(QStringLiteral("PRAGMA table_info(%1)").arg(table))) {
    return sql_.fail(table, info.lastError().text());
  }
  const QString name = column.section(u' ', 0, 0);
  while (info.next()) {
    if (info.value(1).toString() == name) return true;
  }
  info.finish();
  return sql_.exec(QStringLiteral("ALTER TABLE %1 ADD COLUMN %2").arg(table, column));
}

void RequestLedger::close() {
  sql_.close();
}

bool RequestLedger::isOpen() const {
  return sql_.isOpen();
}

std::optional<LedgerRequest> RequestLedger::find(const QString& key) {
  QSqlQuery query(sql_.database());
  query.prepare(QStringLiteral("SELECT request, reply FROM request WHERE key = ?"));
  query.addBindValue(key);
  if (!query.exec() || !query.next()) return std::nullopt;
  return LedgerRequest{query.value(0).toByteArray(), query.value(1).toByteArray()};
}

bool RequestLedger::begin(const QString& key, const QByteArray& request) {
  QSqlQuery query(sql_.database());
  query.prepare(QStringLiteral("INSERT INTO request (key, request, recorded) VALUES (?, ?, ?)"));
  query.addBindValue(key);
  query.addBindValue(request);
  query.addBindValue(nowStamp());
  if (!query.exec())
    return sql_.fail(QStringLiteral("request %1").arg(key), query.lastError().text());
  return true;
}

bool RequestLedger::finish(const QString& key, const QByteArray& reply) {
  QSqlQuery query(sql_.database());
  query.prepare(QStringLiteral("UPDATE request SET reply = ?, answered_clock = ? WHERE key = ?"));
  query.addBindValue(reply);
  query.addBindValue(clock_());
  query.addBindValue(key);
  if (!query.exec())
    return sql_.fail(QStringLiteral("reply %1").arg(key), query.lastError().text());
  return true;
}

std::optional<qint64> RequestLedger::nextPayoutNumber() {
  QSqlDatabase db = sql_.database();
  if (!db.transaction()) {
    sql_.fail(QStringLiteral("begin"), db.lastError().text());
    return std::nullopt;
  }
  QSqlQuery query(db);
  qint64 number = 1;
  if (query.exec(QStringLiteral("SELECT value FROM meta WHERE key = 'payouts'")) && query.next()) {
    number = query.value(0).toLongLong() + 1;
  }
  query.finish();
  query.prepare(QStringLiteral("INSERT OR REPLACE INTO meta (key, value) VALUES ('payouts', ?)"));
  query.addBindValue(QString::number(number));
  if (!query.exec()) {
    const QString detail = query.lastError().text();
    db.rollback();
    sql_.fail(QStringLiteral("payout number"), detail);
    return std::nullopt;
  }
  if (db.commit()) return number;
  const QString detail = db.lastError().text();
  db.rollback();
  sql_.fail(QStringLiteral("payout number"), detail);
  return std::nullopt;
}

bool RequestLedger::beginPayout(const PayoutPart& part) {
  QSqlQuery query(sql_.database());
  query.prepare(QStringLiteral(
      "INSERT INTO payout (id, request_key, request_id, address, requested, coin_value, "
      "count_before, serial, recorded) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)"));
  query.addBindValue(part.id);
  query.addBindValue(part.requestKey);
  query.addBindValue(part.requestId);
  query.addBindValue(part.address);
  query.addBindValue(part.requested);
  query.addBindValue(part.coinValue ? QVariant(*part.coinValue)
                                    : QVariant(QMetaType::fromType<qint64>()));
  query.addBindValue(part.countBefore);
  query.addBindValue(part.serial);
  query.addBindValue(nowStamp());
  if (!query.exec())
    return sql_.fail(QStringLiteral("payout %1").arg(part.id), query.lastError().text());
  return true;
}

bool RequestLedger::settlePayout(const QString& id, const QByteArray& payload, int paid,
                                 qint64 value) {
  QSqlQuery query(sql_.database());
  query.prepare(QStringLiteral(
      "UPDATE payout SET payload = ?, paid = ?, value = ?, settled = ? WHERE id = ?"));
  query.addBindValue(payload);
  query.addBindValue(paid);
  query.addBindValue(value);
  query.addBindValue(nowStamp());
  query.addBindValue(id);
  if (!query.exec())
    return sql_.fail(QStringLiteral("payout %1").arg(id), query.lastError().text());
  return true;
}

QList<PayoutPart> RequestLedger::unsettled() {
  QList<PayoutPart> parts;
  QSqlQuery query(sql_.database());
  if (!query.exec(QStringLiteral(
          "SELECT id, request_key, request_id, address, requested, coin_value, count_before, "
          "serial FROM payout WHERE settled IS NULL ORDER BY rowid"))) {
    sql_.fail(QStringLiteral("unsettled payouts"), query.lastError().text());
    return parts;
  }
  while (query.next()) {
    PayoutPart part;
    part.id = query.value(0).toString();
    part.requestKey = query.value(1).toString();
    part.requestId = query.value(2).toByteArray();
    part.address = query.value(3).toInt();
    part.requested = query.value(4).toInt();
    if (!query.value(5).isNull()) part.coinValue = query.value(5).toLongLong();
    part.countBefore = query.value(6).toLongLong();
    part.serial = query.value(7).toString();
    parts.append(part);
  }
  return parts;
}

QList<QByteArray> RequestLedger::payoutsOf(const QString& requestKey) {
  QList<QByteArray> list;
  QSqlQuery query(sql_.database());
  query.prepare(QStringLiteral(
      "SELECT payload FROM payout WHERE request_key = ? AND settled IS NOT NULL ORDER BY rowid"));
  query.addBindValue(requestKey);
  if (!query.exec()) return list;
  while (query.next()) list.append(query.value(0).toByteArray());
  return list;
}

QStringList RequestLedger::unanswered() {
  QStringList keys;
  QSqlQuery query(sql_.database());
  if (!query.exec(QStringLiteral("SELECT key FROM request WHERE reply IS NULL ORDER BY rowid"))) {
    return keys;
  }
  while (query.next()) keys.append(query.value(0).toString());
  return keys;
}

QList<QByteArray> RequestLedger::outstandingPayouts() {
  QList<QByteArray> list;
  QSqlQuery query(sql_.database());
  if (!query.exec(QStringLiteral("SELECT payload FROM payout WHERE settled IS NOT NULL AND "
                                 "acked IS NULL ORDER BY rowid"))) {
    sql_.fail(QStringLiteral("outstanding payouts"), query.lastError().text());
    return list;
  }
  while (query.next()) list.append(query.value(0).toByteArray());
  return list;
}

bool RequestLedger::acknowledgePayouts(const QStringList& ids) {
  QSqlDatabase db = sql_.database();
  if (!db.transaction()) return sql_.fail(QStringLiteral("begin"), db.lastError().text());
  if (!sql_.acknowledgeEach(
          db,
          QStringLiteral("UPDATE payout SET acked = ?, acked_clock = ? WHERE id = ? AND "
                         "settled IS NOT NULL AND acked IS NULL"),
          ids, nowStamp(), clock_())) {
    return false;
  }
  if (db.commit()) return true;
  const QString detail = db.lastError().text();
  db.rollback();
  return sql_.fail(QStringLiteral("ack"), detail);
}

LedgerTotals RequestLedger::totalsSince(const QDateTime& since) {
  LedgerTotals totals;
  QSqlQuery payouts(sql_.database());
  payouts.prepare(
      QStringLiteral("SELECT paid, value FROM payout WHERE settled IS NOT NULL AND "
                     "settled >= ?"));
  payouts.addBindValue(stamp(since));
  if (payouts.exec()) {
    while (payouts.next()) {
      ++totals.payouts;
      totals.coinsPaid += payouts.value(0).toInt();
      totals.paidValue += payouts.value(1).toLongLong();
    }
  }
  return totals;
}

bool RequestLedger::prune(qint64 ageMs) {
  QSqlDatabase db = sql_.database();
  const qint64 limit = clock_() - ageMs;
  if (limit <= 0) return true;
  for (const char* statement :
       {"DELETE FROM payout WHERE acked IS NOT NULL AND acked_clock < ?",
        // A request goes with its payouts: none of them may still wait for an ack.
        "DELETE FROM request WHERE reply IS NOT NULL AND answered_clock < ? AND NOT EXISTS "
        "(SELECT 1 FROM payout WHERE payout.request_key = request.key)"}) {
    QSqlQuery query(db);
    query.prepare(QLatin1String(statement));
    query.addBindValue(limit);
    if (!query.exec()) return sql_.fail(QStringLiteral("prune"), query.lastError().text());
  }
  return true;
}

}  // namespace quennetd
