#pragma once
// One named connection to an SQLite file, and the last thing that went wrong on it: what the
// journal and the request ledger each keep in the same file.

#include <QSqlDatabase>
#include <QString>

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
  // Keeps "what: detail" as the error, and says false.
  bool fail(const QString& what, const QString& detail);
  QString errorString() const { return error_; }

 private:
  QString name_;
  QString error_;
};

}  // namespace quennetd
