#pragma once
// What an event watch reports, as records every front end prints or hands on alike: the
// `quennet events --json` lines, the C API's records and the Python package's dictionaries.

#include <optional>

#include <QJsonObject>
#include <QList>
#include <QString>

#include "quennet/bus/bus_reply.h"
#include "quennet/bus/event_poller.h"
#include "quennet/quennet_export.h"

namespace quennet {

/// A new event: {"counter", "a", "b", "kind": "credit" or "status", "text"}.
QUENNET_EXPORT QJsonObject eventRecord(const BusEvent& event);
/// Events the buffer no longer held: {"lost": count, "counter": the counter now}.
QUENNET_EXPORT QJsonObject lostRecord(int lost, int counter);
/// A read whose counter moved while its pairs did not: {"inconsistent": true, "counter": the
/// counter it said}. Nothing of it is reported; the next read tries again.
QUENNET_EXPORT QJsonObject inconsistentRecord(int counter);
/// A reset or power-up of the device: {"reset": true, "counter": the counter now}.
QUENNET_EXPORT QJsonObject resetRecord(int counter);

/// The device stopped answering: {"deviceLost": true, "failures": the failed reads in a row,
/// "status": the last failure ("Timeout Error [0]"), "counter": the counter last read}. The watch
/// goes on reading.
QUENNET_EXPORT QJsonObject deviceLostRecord(int failures, const QString& status, int counter);
/// A read succeeded after deviceLostRecord: {"deviceBack": true, "failures": how many failed,
/// "counter": the counter before this read}.
QUENNET_EXPORT QJsonObject deviceBackRecord(int failures, int counter);

/// What enables a validator for events, at the start of a watch and after every reset:
/// SetMasterInhibit 1, then SetInhibitStatus with `inhibits` ("255,255") when given.
QUENNET_EXPORT QList<BusCommand> enableCommands(const std::optional<QString>& inhibits);
/// What a request that was not acknowledged got instead: the reply ("NACK") or the failure.
QUENNET_EXPORT QString refusalText(const BusReply& reply);
/// The validator refused (or never answered) one of the enable commands of a watch:
/// "the validator did not accept the enable command: NACK (SetMasterInhibit)".
QUENNET_EXPORT QString enableRefusedText(const BusReply& reply, const QString& method);

}  // namespace quennet
