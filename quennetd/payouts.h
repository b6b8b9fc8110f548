#pragma once
// Requests that change something: each runs once by its id, whatever is delivered again, killed
// or restarted. A command's reply is stored in the journal and given again to a repeat. Coins
// paid out are journalled like credits: before a hopper is told to pay, its own dispense count is
// written; what it paid is read back from that count, published on `payout` and published again
// until the consumer acknowledges it. A payout cut short (a jam, a reset, a kill) says how many
// coins went out, from the hopper's count. `pay` pays an amount from the configured hoppers,
// largest coin first, and reports what none of them could pay. `query` tells what is not
// acknowledged and the sums since a time.

#include <functional>
#include <memory>
#include <optional>

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QTimer>

#include "quennetd/command_gate.h"
#include "quennetd/daemon_options.h"
#include "quennetd/device_calls.h"
#include "quennetd/journal.h"
#include "quennetd/request_ledger.h"

namespace quennet {
class BusClient;
class BusReply;
}  // namespace quennet

namespace quennetd {

// Methods the service itself answers on `cmd`, without a device address.
inline const QString kPayMethod = QStringLiteral("pay");
inline const QString kQueryMethod = QStringLiteral("query");
// A request found running when the service stopped, and not a payout: nobody knows its outcome.
inline const QString kInterrupted =
    QStringLiteral("interrupted: the service stopped before the device answered");
// Items a query lists of each kind; the counts say how many there are.
inline constexpr int kQueryListLimit = 100;

class Payouts : public QObject {
  Q_OBJECT

 public:
  using Publish = std::function<void(const QString& leaf, const QByteArray& payload)>;

  Payouts(quennet::BusClient* bus, const DaemonOptions& options, Publish publish,
          QObject* parent = nullptr);

  // Opens the ledger in the journal's file and prunes what is past its retention by the journal's
  // clock. Payout ids carry the journal's id: unique for ever, whatever file comes after.
  bool open(const QString& path, const QString& journalId, std::function<qint64()> clock);
  void close();
  bool isOpen() const { return ledger_.isOpen(); }
  QString errorString() const { return ledger_.errorString(); }

  // Why requests that change something cannot be kept to once now (the journal cannot be
  // written); empty while they can. Such requests are refused with it, before anything runs.
  void setJournalProblem(std::function<QString()> problem) { problem_ = std::move(problem); }

  // The journal whose credits `query` reports beside the payouts.
  void setCreditJournal(Journal* journal) { credits_ = journal; }

  // The line's time shared with the consumers' other commands: a request starts only while it
  // is not overdrawn, and every command it sends pays for the time it took.
  void setBudget(LineBudget* budget) { budget_ = budget; }

  // A `pay` or `query` request; false when the payload is neither (the gate takes it then).
  // `admit` charges the request to the rate limit.
  bool take(const QByteArray& payload, const std::function<bool()>& admit);
  // A command that changes a device: once by its id.
  void run(const Command& command, const QByteArray& payload);
  // After the devices are up: payouts a kill interrupted are settled from the hoppers' counts,
  // requests it interrupted are answered. Queued requests wait until this is done.
  void reconcile();
  // Unacknowledged payouts, published again.
  void resend();
  // Acknowledged payouts, in one transaction.
  bool acknowledge(const QStringList& ids);
  // The stored reply to a route id seen before, and storing one: a route is not run twice
  // either. Route ids are apart from the ids of requests on cmd.
  std::optional<QByteArray> storedRouteReply(const QJsonValue& id);
  bool rememberRoute(const QJsonValue& id, const QByteArray& request, const QByteArray& reply);
  // Replies `why` to everything queued.
  void stop(const QString& why);

 signals:
  // A line for the log: a hopper refused a dispense.
  void note(const QString& line);

 private:
  struct Part {
    int address = 0;
    std::optional<qint64> coinValue;
  };
  struct Job {
    QString key;
    QJsonValue id;
    QByteArray request;
    std::optional<Command> command;  // a device command; none for pay
    qint64 amount = 0;               // pay: minor units asked for, and what is left to pay
    qint64 left = 0;
    QList<Part> hoppers;  // in the order they are asked: largest coin first
    int nextHopper = 0;
    QJsonObject deviceReply;
    QJsonArray payouts;
    bool pays() const { return !command || command->method == kDispenseMethod; }
  };

  // Why nothing can be kept to once now; empty while it can.
  QString journalProblem() const;
  void enqueue(Job job);
  void next();
  void done();
  void startJob(Job& job);
  void nextPart();
  void partFrom(const Part& hopper, int coins, const std::optional<HopperReading>& before);
  // Sends the dispense with the hopper's security code.
  void dispense(const PayoutPart& part, std::int32_t code);
  void awaitHopper(const PayoutPart& part);
  // The hopper's payout status; nothing when it cannot be read.
  void status(int address, const std::function<void(std::optional<HopperStatus>)>& then);
  // Polls the part's hopper until it has no coin left to pay, publishing progress as its status
  // moves: then(true). then(false) when it stops answering, or stalls with coins left.
  void awaitIdle(const PayoutPart& part, const std::function<void(bool)>& then);
  void progress(const PayoutPart& part, const HopperStatus& now);
  // An emergency stop while a payout is under way: run at once, not queued behind it.
  void stopNow(const Job& job);
  // The hopper's dispense count and serial number; nothing when either cannot be read.
  void read(int address, const std::function<void(std::optional<HopperReading>)>& then);
  // Written and published: paid from the count, or in doubt when the count went back or moved
  // more than asked, or another hopper answers at the address. The value paid; none in doubt.
  std::optional<qint64> settle(const PayoutPart& part, const HopperReading& after);
  void settleFrom(const QList<PayoutPart>& parts, int k);
  void answer(const QString& key, const QByteArray& reply);
  void finishJob();
  QByteArray payReply(const QJsonValue& id, qint64 amount, const QString& key);
  void query(const QJsonValue& id, const QJsonObject& request);
  void reply(const QByteArray& payload) { publish_(QStringLiteral("reply"), payload); }
  quennet::BusReply* invoke(int address, const quennet::BusCommand& command, QString* error);
  std::optional<qint64> coinValueOf(int address) const;
  qint64 retentionMs() const;

  quennet::BusClient* bus_;
  DaemonOptions options_;
  Publish publish_;
  std::function<QString()> problem_;
  LineBudget* budget_ = nullptr;
  QTimer budgetWait_;
  RequestLedger ledger_;
  Journal* credits_ = nullptr;
  QString journalId_;
  QList<Job> jobs_;
  std::unique_ptr<Job> current_;
  bool reconciled_ = false;
  bool reconciling_ = false;
  QTimer prune_;
};

}  // namespace quennetd
