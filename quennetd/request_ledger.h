#pragma once
// The requests that change something, and the payouts they made, kept in the journal's file
// beside the credits (which only the journal reads and writes). A request id seen once is answered
// with its stored reply ever after and never runs again. A payout is written with the hopper's own
// dispense count before a coin moves, so that whatever happens next, that count tells how many
// coins went out.

#include <cstdint>
#include <functional>
#include <optional>

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

#include "quennetd/sql_connection.h"

namespace quennetd {

// A request as the ledger knows it: its stored reply, empty while it has none.
struct LedgerRequest {
  QByteArray request;
  QByteArray reply;
};

// One hopper's part of a payout.
struct PayoutPart {
  QString id;
  QString requestKey;
  QByteArray requestId;  // the consumer's id, as JSON
  int address = 0;
  int requested = 0;
  std::optional<qint64> coinValue;  // minor units; unknown for a hopper pay was not told of
  qint64 countBefore = 0;           // the hopper's dispense count before this part
  QString serial;                   // the hopper's serial number before this part
};

// What a hopper says of itself when a part is settled: its dispense count and serial number.
struct HopperReading {
  qint64 count = 0;
  QString serial;
  std::uint32_t serialNumber = 0;  // the same as a number: some hoppers take it as their code
};

// The payouts settled since a time.
struct LedgerTotals {
  int payouts = 0;
  qint64 paidValue = 0;
  int coinsPaid = 0;
};

class RequestLedger {
 public:
  RequestLedger();
  ~RequestLedger();
  RequestLedger(const RequestLedger&) = delete;
  RequestLedger& operator=(const RequestLedger&) = delete;

  // Opens the journal at `path` (its own connection) and makes the ledger's tables if missing.
  // `clock` is the journal's own clock (milliseconds), by which what is kept is aged.
  bool open(const QString& path, std::function<qint64()> clock);
  void close();
  bool isOpen() const;
  QString errorString() const { return sql_.errorString(); }

  std::optional<LedgerRequest> find(const QString& key);
  // A request about to run; its reply comes later.
  bool begin(const QString& key, const QByteArray& request);
  bool finish(const QString& key, const QByteArray& reply);

  // The next number of the journal's payouts, taken for good: never given twice, even once the
  // payout it went to is pruned.
  std::optional<qint64> nextPayoutNumber();
  // A hopper's part, written before the dispense command goes out.
  bool beginPayout(const PayoutPart& part);
  // The part's outcome, as published until acknowledged.
  bool settlePayout(const QString& id, const QByteArray& payload, int paid, qint64 value);
  // Parts begun and never settled: a kill or a power cut came between.
  QList<PayoutPart> unsettled();
  // Settled parts of one request: their payloads.
  QList<QByteArray> payoutsOf(const QString& requestKey);
  // Requests begun, never answered.
  QStringList unanswered();
  // Settled payouts not acknowledged, oldest first.
  QList<QByteArray> outstandingPayouts();
  bool acknowledgePayouts(const QStringList& ids);

  // The payouts settled since `since`; the credits are the journal's.
  LedgerTotals totalsSince(const QDateTime& since);
  // Drops payouts acknowledged, and requests answered, longer than `ageMs` ago by the journal's
  // clock. A request goes only once none of its payouts is left.
  bool prune(qint64 ageMs);

 private:
  bool addColumn(const QString& table, const QString& column);
  bool stampUnaged();

  SqlConnection sql_{QStringLiteral("ledger")};
  std::function<qint64()> clock_;
};

}  // namespace quennetd
