#pragma once
// The credit journal: every credit is written here, synchronously, before it is published, and
// stays until its acknowledgement arrives. It also keeps, per device, the event counter last
// taken into account, so that a restart neither repeats nor skips an event.

#include <optional>

#include <QList>
#include <QSqlDatabase>
#include <QString>

namespace quennetd {

struct JournalCredit {
  QString id;
  QByteArray payload;  // the credit message as published
};

class Journal {
 public:
  Journal();
  ~Journal();
  Journal(const Journal&) = delete;
  Journal& operator=(const Journal&) = delete;

  // Opens (creating when needed) the journal at `path`: WAL, every commit synced to disk.
  bool open(const QString& path);
  void close();
  bool isOpen() const;
  QString errorString() const { return error_; }

  // Writes a credit and the counter of the event it came from in one transaction; true once the
  // transaction is on disk. An empty `device` leaves the counters alone.
  bool record(const JournalCredit& credit, const QString& device, int counter);
  // The counter last taken into account for `device` (address and serial number).
  std::optional<int> cursor(const QString& device);
  bool setCursor(const QString& device, int counter);
  // Marks a credit booked by the consumer. True when it was outstanding.
  bool acknowledge(const QString& id);
  // Credits not yet acknowledged, oldest first.
  QList<JournalCredit> outstanding();
  // Writes the log back into the main file (at shutdown).
  void checkpoint();

 private:
  bool exec(const QString& statement);
  bool fail(const QString& what, const QString& detail);

  QString connection_;
  QString error_;
};

}  // namespace quennetd
