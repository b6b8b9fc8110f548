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

/// A new event: {"counter", "a", "b", "kind": "credit" or "status", "text"}; a coin credit adds
/// {"coin": position, "sorterPath", and with its identity known "coinId": "GB010A", "value": 10}.
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
/// What a watch asks a device first: its equipment category (GetEqptID), which says the buffer
/// it reads.
QUENNET_EXPORT BusCommand categoryCommand();
/// The buffer a watch reads from a device that answered categoryCommand() with `reply`; nothing,
/// with `why` set, when the watch cannot read it (a hopper, a category it does not know, no
/// answer): "address 3 is a Payout: a watch reads bill validators and coin acceptors".
QUENNET_EXPORT std::optional<EventPoller::Source> watchedSource(const BusReply& reply, int address,
                                                                QString* why);
/// What a watch asks a coin acceptor before it reads: the identity of every coin position
/// (RequestCoinID 1 to 16), in order.
QUENNET_EXPORT QList<BusCommand> coinIdCommands();
/// The identity one of coinIdCommands() answered: empty for an unused position ("......") or a
/// call that failed.
QUENNET_EXPORT QString coinIdOf(const BusReply& reply);

/// What a request that was not acknowledged got instead: the reply ("NACK") or the failure.
QUENNET_EXPORT QString refusalText(const BusReply& reply);
/// The device refused (or never answered) one of the enable commands of a watch:
/// "the validator did not accept the enable command: NACK (SetMasterInhibit)".
QUENNET_EXPORT QString enableRefusedText(const BusReply& reply, const QString& method);

}  // namespace quennet
