#include "quennet/bus/event_report.h"

#include "quennet/bus/event_texts.h"
#include "quennet/link/link_engine.h"

namespace quennet {

namespace {

// Coin positions a coin acceptor names (RequestCoinID 1 to 16).
constexpr int kCoinPositions = 16;

}  // namespace

QJsonObject eventRecord(const BusEvent& event) {
  QJsonObject record{{"counter", event.counter},
                     {"a", event.a},
                     {"b", event.b},
                     {"kind", event.isCredit() ? "credit" : "status"},
                     {"text", event.text}};
  if (event.buffer == EventBuffer::Coin && event.isCredit()) {
    record.insert(QStringLiteral("coin"), event.a);
    record.insert(QStringLiteral("sorterPath"), event.b);
    if (!event.coinId.isEmpty()) record.insert(QStringLiteral("coinId"), event.coinId);
    if (const std::optional<int> value = coinValue(event.coinId)) {
      record.insert(QStringLiteral("value"), *value);
    }
  }
  return record;
}

QJsonObject lostRecord(int lost, int counter) {
  return QJsonObject{{"lost", lost}, {"counter", counter}};
}

QJsonObject inconsistentRecord(int counter) {
  return QJsonObject{{"inconsistent", true}, {"counter", counter}};
}

QJsonObject resetRecord(int counter) {
  return QJsonObject{{"reset", true}, {"counter", counter}};
}

QJsonObject deviceLostRecord(int failures, const QString& status, int counter) {
  return QJsonObject{
      {"deviceLost", true}, {"failures", failures}, {"status", status}, {"counter", counter}};
}

QJsonObject deviceBackRecord(int failures, int counter) {
  return QJsonObject{{"deviceBack", true}, {"failures", failures}, {"counter", counter}};
}

QList<BusCommand> enableCommands(const std::optional<QString>& inhibits) {
  QList<BusCommand> commands{{QStringLiteral("SetMasterInhibit"), {1}}};
  if (inhibits) commands.append({QStringLiteral("SetInhibitStatus"), {*inhibits}});
  return commands;
}

BusCommand categoryCommand() {
  return {QStringLiteral("GetEqptID"), {}};
}

std::optional<EventPoller::Source> watchedSource(const BusReply& reply, int address, QString* why) {
  const QString category = reply.outputs().value(QStringLiteral("strResponse")).toString();
  // A NAK to a text command is result 0 with "NACK" for its text: no category either.
  if (!reply.acknowledged()) {
    *why = QStringLiteral("address %1 did not say what it is (GetEqptID): %2")
               .arg(address)
               .arg(reply.result() == kResultOk ? category : reply.caption());
    return std::nullopt;
  }
  const std::optional<EventPoller::Source> source = EventPoller::sourceOf(category);
  if (source == EventPoller::Source::BillValidator || source == EventPoller::Source::CoinAcceptor) {
    return source;
  }
  *why = QStringLiteral("address %1 is a %2: a watch reads bill validators and coin acceptors")
             .arg(address)
             .arg(category.isEmpty() ? QStringLiteral("device without a category") : category);
  return std::nullopt;
}

QList<BusCommand> coinIdCommands() {
  QList<BusCommand> commands;
  for (int position = 1; position <= kCoinPositions; ++position) {
    commands.append({QStringLiteral("RequestCoinID"), {position}});
  }
  return commands;
}

QString coinIdOf(const BusReply& reply) {
  if (!reply.acknowledged()) return {};
  const QString id = reply.outputs().value(QStringLiteral("Response")).toString().trimmed();
  // An unused position reads "......".
  return !id.isEmpty() && id[0].isLetter() ? id : QString();
}

QString refusalText(const BusReply& reply) {
  return reply.result() == kResultOk ? reply.outputs().value(QStringLiteral("Response")).toString()
                                     : reply.caption();
}

QString enableRefusedText(const BusReply& reply, const QString& method) {
  return QStringLiteral("the validator did not accept the enable command: %1 (%2)")
      .arg(refusalText(reply), method);
}

}  // namespace quennet
