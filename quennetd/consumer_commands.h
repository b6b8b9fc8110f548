#pragma once
// What consumers send: commands on `cmd` (a device's method, or the service's own pay and
// query), routes of held notes on `route` by their escrow id, acknowledgements on `ack`. Commands
// go on the line one at a time under a budget of line time, routes ahead of the rest; what
// changes a device runs once by its id (the payouts keep the ledger). Acknowledgements are
// written in batches, so that however many arrive the journal never holds up the polls.

#include <functional>

#include <QByteArray>
#include <QJsonValue>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QTimer>

#include "quennetd/command_gate.h"
#include "quennetd/credit_book.h"
#include "quennetd/daemon_options.h"
#include "quennetd/journal_health.h"
#include "quennetd/payouts.h"
#include "quennetd/service_device.h"

namespace quennet {
class BusClient;
}

namespace quennetd {

// Acknowledgements are written in batches, one transaction each, at most this many this often.
inline constexpr int kAckBatchMs = 50;
inline constexpr int kAcksPerBatch = 500;
// Acknowledgements waiting beyond this are dropped: their credits are published again and
// acknowledged again.
inline constexpr int kAcksWaiting = 20000;

class ConsumerCommands : public QObject {
  Q_OBJECT

 public:
  using Publish = std::function<void(const QString& leaf, const QByteArray& payload)>;

  ConsumerCommands(const DaemonOptions& options, quennet::BusClient* bus, Devices* devices,
                   CreditBook* book, Payouts* payouts, JournalHealth* journal, Publish publish,
                   QObject* parent = nullptr);

  CommandGate& gate() { return gate_; }
  LineBudget& budget() { return budget_; }
  // Why a route cannot be sent: the port's error.
  void setPortError(std::function<QString()> portError) { portError_ = std::move(portError); }

  // A message on one of the topics the service takes.
  void onMessage(const QString& topic, const QByteArray& payload);
  // A message the link refused unread (too large).
  void onRefused(const QString& topic, qsizetype bytes);
  // The service stops: whatever is queued is answered so, and nothing more is taken.
  void stop(const QString& why);

 private:
  void onCommand(const QByteArray& payload);
  void runCommands();
  void onRoute(const QByteArray& payload);
  void onAck(const QByteArray& payload);
  void writeAcks();
  void replyError(const QJsonValue& id, const QString& error);
  QString topic(const char* leaf) const;

  DaemonOptions options_;
  quennet::BusClient* bus_;
  Devices* devices_;
  CreditBook* book_;
  Payouts* payouts_;
  JournalHealth* health_;
  Publish publish_;
  std::function<QString()> portError_;
  QString stopped_;  // why nothing more is taken; empty while running
  CommandGate gate_;
  // Consumers' commands not yet on the line (routes first), one at a time on it, under a budget.
  QList<Command> commands_;
  bool commandOnLine_ = false;
  LineBudget budget_;
  QTimer commandWait_;
  QStringList acks_;  // acknowledgements not yet written, in the order they came
  QSet<QString> ackSet_;
  QTimer ackWrite_;
};

}  // namespace quennetd
