#pragma once
// Every message the service publishes, built in one place: what the contract's schemas
// (quennetd/contract/schemas) describe is what these functions make.

#include <optional>

#include <QByteArray>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QList>
#include <QString>

#include "quennetd/device_calls.h"
#include "quennetd/journal.h"
#include "quennetd/request_ledger.h"

namespace quennet {
class BusReply;
}

namespace quennetd {

struct Device;

namespace payloads {

// The time a message carries: UTC, ISO 8601 with milliseconds.
QString now();
QByteArray compact(const QJsonObject& o);

// `credit`: money taken, with the device's sequence number; or a note in doubt, with why.
QByteArray credit(const Device& device, const QString& id, int position, int counter, qint64 seq);
QByteArray inDoubt(const Device& device, const PendingNote& note, qint64 seq,
                   const QString& reason);
// `event`: what the device's buffer said; and events that fell out of it unread, by their id.
QByteArray event(const Device& device, int counter, const QString& kind, const QString& text);
QByteArray loss(const Device& device, const QString& id, int counter, int count);
// `escrow`: the note held for the consumer to route by its id.
QByteArray escrow(const Device& device, const PendingNote& held);

// `reply` to a device command: the device's answer as the bus client gave it.
QJsonObject deviceReply(const QJsonValue& id, const quennet::BusReply& reply);
// `reply` to pay: what the request's payouts paid, and what is in doubt, in minor units.
QByteArray payReply(const QJsonValue& id, qint64 amount, qint64 paid, qint64 inDoubt,
                    const QJsonArray& payouts);

// `reply` to query: what is not yet acknowledged (the lists as given, the counts of all) and the
// totals since a time.
QByteArray queryReply(const QJsonValue& id, const QDateTime& since,
                      const QList<QByteArray>& credits, qsizetype creditCount,
                      const QList<QByteArray>& payouts, qsizetype payoutCount,
                      const CreditTotals& creditTotals, const LedgerTotals& paidTotals);

// `payout`: a hopper's part of a payout, settled from its own count or in doubt (with why).
struct PayoutView {
  QString id;
  QJsonValue request;
  int address = 0;
  int requested = 0;
  int paid = 0;
  std::optional<qint64> coinValue;
  QString reason;  // empty: settled; else why it is in doubt
};
QByteArray payout(const PayoutView& view);

// `progress`: a hopper's payout under way, as its status last read; booked only by `payout`.
QByteArray progress(const QString& id, const QJsonValue& request, int address, int requested,
                    int paid, int remaining);

// `status` as it stands, without its time: compared with the last one to publish on change only.
struct StatusDevice {
  int address = 0;
  QString category;
  QString manufacturer;
  QString serial;
  QString mode;
  bool answering = false;
};
struct StatusView {
  bool portOpen = false;
  QString port;
  QString portError;
  QList<StatusDevice> devices;
  bool accepting = false;
  QString journal;  // "ok", or why not
};
QByteArray statusBody(const StatusView& view);
// The body with the time it changed.
QByteArray stamped(const QByteArray& body);
// The service gone: as the broker's last will (no time), and as its goodbye.
QByteArray offline(bool withTime);

// `reply` to a consumer's command, to a route, and a request refused.
QByteArray commandReply(const QJsonValue& id, const quennet::BusReply& reply);
QByteArray routeReply(const QJsonValue& id, const QString& escrow, bool stacked,
                      const CallStatus& status);
QByteArray errorReply(const QJsonValue& id, const QString& error);

}  // namespace payloads
}  // namespace quennetd
