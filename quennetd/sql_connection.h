#pragma once
// One named connection to an SQLite file, and the last thing that went wrong on it: what the
// journal and the request ledger each keep in the same file.

#include <QSqlDatabase>
#include <QString>
#include <QStringList>

namespace quennetd {

class SqlConnection {
 public:
  // `role` names the connection ("journal"), numbered so that several may be open at once.
  explicit SqlConnection(const QString& role);
  ~SqlConnection();
  SqlConnection(const SqlConnection&) = delete;
  SqlConnection& operator=(const SqlConnection&) = delete;

  // Opens `path` with the driver's `options` (QSQLITE_BUSY_TIMEOUT=...); false, with the error.
  bool open(const QString& path, const QString& options = {});
  void close();
  bool isOpen() const;
  QSqlDatabase database() const;

  // Runs one statement; false, with the statement and why, when it fails.
  bool exec(const QString& statement);
  // Marks each of `ids` acknowledged with one prepared `statement`, bound to the time as text,
  // the journal's own clock and the id, inside the transaction open on `db`; on a failure rolls
  // it back and keeps "ack <id>: why" as the error.
  bool acknowledgeEach(QSqlDatabase& db, const QString& statement, const QStringList& ids,
                       const QString& when, qint64 clock);
  // Keeps "what: detail" as the error, and says false.
  bool fail(const QString& what, const QString& detail);
  QString errorString() const { return error_; }

 private:
  QString name_;
  QString error_;
};

}  // namespace quennetd
