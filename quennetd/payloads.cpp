#include "quennetd/payloads.h"

#include <algorithm>

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>

#include "quennet/bus/bus_reply.h"
#include "quennetd/service_device.h"

namespace quennetd::payloads {

namespace {

QJsonValue minorUnits(const std::optional<qint64>& value) {
  return value ? QJsonValue(static_cast<double>(*value)) : QJsonValue();
}

QJsonObject creditObject(const Device& device, const QString& id, int position, int counter,
                         qint64 seq) {
  const Denomination d = device.denomination(position);
  QJsonObject o{{"id", id},
                {"address", device.address},
                {"serial", device.label},
                {"kind", device.isValidator() ? "note" : "coin"},
                {"position", position},
                {"code", d.code},
                {"currency", d.currency},
                {"value", minorUnits(d.value)},
                {"counter", counter},
                {"seq", static_cast<double>(seq)},
                {"state", "credited"},
                {"time", now()}};
  if (d.scale) {
    o.insert(QStringLiteral("scale"),
             QJsonObject{{"factor", d.scale->factor}, {"decimals", d.scale->decimals}});
  }
  return o;
}

}  // namespace

QString now() {
  return QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
}

QByteArray compact(const QJsonObject& o) {
  return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

QByteArray credit(const Device& device, const QString& id, int position, int counter, qint64 seq) {
  return compact(creditObject(device, id, position, counter, seq));
}

QByteArray inDoubt(const Device& device, const PendingNote& note, qint64 seq,
                   const QString& reason) {
  QJsonObject o = creditObject(device, note.id, note.position, note.counter, seq);
  o.insert(QStringLiteral("state"), QStringLiteral("in-doubt"));
  o.insert(QStringLiteral("reason"), reason);
  return compact(o);
}

QByteArray event(const Device& device, int counter, const QString& kind, const QString& text) {
  return compact(QJsonObject{{"address", device.address},
                             {"counter", counter},
                             {"kind", kind},
                             {"text", text},
                             {"time", now()}});
}

QByteArray loss(const Device& device, const QString& id, int counter, int count) {
  return compact(
      QJsonObject{{"id", id},
                  {"address", device.address},
                  {"counter", counter},
                  {"kind", "lost"},
                  {"text", QStringLiteral("%1 event(s) lost: the buffer keeps five").arg(count)},
                  {"count", count},
                  {"time", now()}});
}

QByteArray escrow(const Device& device, const PendingNote& held) {
  const Denomination d = device.denomination(held.position);
  return compact(QJsonObject{{"id", held.id},
                             {"address", device.address},
                             {"position", held.position},
                             {"code", d.code},
                             {"currency", d.currency},
                             {"value", minorUnits(d.value)},
                             {"time", now()}});
}

QJsonObject deviceReply(const QJsonValue& id, const quennet::BusReply& reply) {
  return QJsonObject{{"id", id},
                     {"result", reply.result()},
                     {"status", reply.caption()},
                     {"acknowledged", reply.acknowledged()},
                     {"outputs", QJsonObject::fromVariantMap(reply.outputs())}};
}

QByteArray payReply(const QJsonValue& id, qint64 amount, qint64 paid, qint64 inDoubt,
                    const QJsonArray& payouts) {
  QJsonObject reply{{"id", id},
                    {"amount", amount},
                    {"paid", paid},
                    {"unpaid", std::max<qint64>(0, amount - paid - inDoubt)},
                    {"payouts", payouts}};
  if (inDoubt > 0) reply.insert(QStringLiteral("inDoubt"), static_cast<double>(inDoubt));
  return compact(reply);
}

QByteArray queryReply(const QJsonValue& id, const QDateTime& since,
                      const QList<QByteArray>& credits, qsizetype creditCount,
                      const QList<QByteArray>& payouts, qsizetype payoutCount,
                      const CreditTotals& creditTotals, const LedgerTotals& paidTotals) {
  const auto list = [](const QList<QByteArray>& bodies) {
    QJsonArray out;
    for (const QByteArray& body : bodies) out.append(QJsonDocument::fromJson(body).object());
    return out;
  };
  return compact(QJsonObject{
      {"id", id},
      {"unacknowledged", QJsonObject{{"credits", creditCount},
                                     {"payouts", payoutCount},
                                     {"creditList", list(credits)},
                                     {"payoutList", list(payouts)}}},
      {"since", since.toUTC().toString(Qt::ISODateWithMs)},
      {"totals", QJsonObject{{"credits", creditTotals.credits},
                             {"creditValue", static_cast<double>(creditTotals.value)},
                             {"payouts", paidTotals.payouts},
                             {"coinsPaid", paidTotals.coinsPaid},
                             {"paidValue", static_cast<double>(paidTotals.paidValue)}}}});
}

QByteArray payout(const PayoutView& view) {
  const bool doubt = !view.reason.isEmpty();
  const auto number = [doubt](qint64 n) {
    return doubt ? QJsonValue() : QJsonValue(static_cast<double>(n));
  };
  const qint64 value = view.coinValue ? view.paid * *view.coinValue : 0;
  QJsonObject o{
      {"id", view.id},
      {"request", view.request},
      {"address", view.address},
      {"requested", view.requested},
      {"state", doubt ? "in-doubt" : "settled"},
      {"paid", number(view.paid)},
      {"unpaid", number(view.requested - view.paid)},
      {"coin", view.coinValue ? QJsonValue(static_cast<double>(*view.coinValue)) : QJsonValue()},
      {"value", view.coinValue ? number(value) : QJsonValue()},
      {"time", now()}};
  if (doubt) o.insert(QStringLiteral("reason"), view.reason);
  return compact(o);
}

QByteArray progress(const QString& id, const QJsonValue& request, int address, int requested,
                    int paid, int remaining) {
  return compact(QJsonObject{{"id", id},
                             {"request", request},
                             {"address", address},
                             {"requested", requested},
                             {"paid", paid},
                             {"remaining", remaining},
                             {"time", now()}});
}

QByteArray statusBody(const StatusView& view) {
  QJsonArray list;
  for (const StatusDevice& device : view.devices) {
    QJsonObject o{{"address", device.address},
                  {"category", device.category},
                  {"manufacturer", device.manufacturer},
                  {"serial", device.serial},
                  {"state", device.answering ? "ok" : "lost"}};
    if (!device.mode.isEmpty()) o.insert(QStringLiteral("mode"), device.mode);
    list.append(o);
  }
  QJsonObject o{{"state", view.portOpen ? "online" : "port-lost"},
                {"port", view.port},
                {"devices", list},
                {"accepting", view.accepting},
                {"journal", view.journal}};
  if (!view.portOpen) o.insert(QStringLiteral("error"), view.portError);
  return compact(o);
}

QByteArray stamped(const QByteArray& body) {
  QJsonObject o = QJsonDocument::fromJson(body).object();
  o.insert(QStringLiteral("time"), now());
  return compact(o);
}

QByteArray offline(bool withTime) {
  QJsonObject o{{"state", "offline"}};
  if (withTime) o.insert(QStringLiteral("time"), now());
  return compact(o);
}

QByteArray commandReply(const QJsonValue& id, const quennet::BusReply& reply) {
  QJsonObject answer = deviceReply(id, reply);
  // A serial number also as the device's label reads it, as the tool's --json gives it.
  const QString serial = reply.busResult().serial;
  if (!serial.isEmpty()) answer.insert(QStringLiteral("serial"), serial);
  return compact(answer);
}

QByteArray routeReply(const QJsonValue& id, const QString& escrow, bool stacked,
                      const CallStatus& status) {
  return compact(QJsonObject{{"id", id},
                             {"escrow", escrow},
                             {"action", stacked ? "stack" : "return"},
                             {"result", status.result},
                             {"status", status.caption},
                             {"acknowledged", status.acknowledged},
                             {"outputs", QJsonObject::fromVariantMap(status.outputs)}});
}

QByteArray errorReply(const QJsonValue& id, const QString& error) {
  // An id that is missing or of no usable kind is given back as null.
  const QJsonValue given = id.isString() || id.isDouble() ? id : QJsonValue();
  return compact(QJsonObject{{"id", given}, {"error", error}});
}

}  // namespace quennetd::payloads
