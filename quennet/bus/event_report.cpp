#include "quennet/bus/event_report.h"

#include "quennet/link/link_engine.h"

namespace quennet {

QJsonObject eventRecord(const BusEvent& event) {
  return QJsonObject{{"counter", event.counter},
                     {"a", event.a},
                     {"b", event.b},
                     {"kind", event.isCredit() ? "credit" : "status"},
                     {"text", event.text}};
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

QString refusalText(const BusReply& reply) {
  return reply.result() == kResultOk ? reply.outputs().value(QStringLiteral("Response")).toString()
                                     : reply.caption();
}

QString enableRefusedText(const BusReply& reply, const QString& method) {
  return QStringLiteral("the validator did not accept the enable command: %1 (%2)")
      .arg(refusalText(reply), method);
}

}  // namespace quennet
