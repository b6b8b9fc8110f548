#include "quennetd/sql_connection.h"

#include <atomic>

#include <QSqlError>
#include <QSqlQuery>

namespace quennetd {

namespace {

std::atomic<int> connections{0};

}  // namespace

SqlConnection::SqlConnection(const QString& role)
    : name_(QStringLiteral("quennetd-%1-%2").arg(role).arg(connections.fetch_add(1))) {}

SqlConnection::~SqlConnection() {
  close();
}

bool SqlConnection::open(const QString& path, const QString& options) {
  close();
  QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name_);
  db.setDatabaseName(path);
  if (!options.isEmpty()) db.setConnectOptions(options);
  if (!db.open()) return fail(path, db.lastError().text());
  return true;
}

void SqlConnection::close() {
  if (QSqlDatabase::contains(name_)) {
    QSqlDatabase::database(name_, false).close();
    QSqlDatabase::removeDatabase(name_);
  }
}

bool SqlConnection::isOpen() const {
  return QSqlDatabase::contains(name_) && QSqlDatabase::database(name_, false).isOpen();
}

QSqlDatabase SqlConnection::database() const {
  return QSqlDatabase::database(name_, false);
}

bool SqlConnection::exec(const QString& statement) {
  QSqlQuery query(database());
  if (!query.exec(statement)) return fail(statement, query.lastError().text());
  return true;
}

bool SqlConnection::acknowledgeEach(QSqlDatabase& db, const QString& statement,
                                    const QStringList& ids, const QString& when, qint64 clock) {
  QSqlQuery query(db);
  query.prepare(statement);
  for (const QString& id : ids) {
    query.addBindValue(when);
    query.addBindValue(clock);
    query.addBindValue(id);
    if (!query.exec()) {
      const QString detail = query.lastError().text();
      db.rollback();
      return fail(QStringLiteral("ack %1").arg(id), detail);
    }
  }
  return true;
}

bool SqlConnection::fail(const QString& what, const QString& detail) {
  error_ = what + QStringLiteral(": ") + detail;
  return false;
}

}  // namespace quennetd
