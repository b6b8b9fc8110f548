#include "quennetd/consumer_commands.h"

#include <algorithm>
#include <memory>

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>

#include "quennet/bus/bus_client.h"
#include "quennet/bus/bus_reply.h"
#include "quennet/link/quennet_error.h"
#include "quennetd/kill_point.h"
#include "quennetd/payloads.h"

namespace quennetd {

namespace {

// A route for a note that is no longer the one in escrow.
const QString kEscrowChanged = QStringLiteral("escrow changed");
const QString kRouteByEscrowId =
    QStringLiteral("notes are held for the consumer: route them on route, by their escrow id");

}  // namespace

ConsumerCommands::ConsumerCommands(const DaemonOptions& options, quennet::BusClient* bus,
                                   Devices* devices, CreditBook* book, Payouts* payouts,
                                   JournalHealth* journal, Publish publish, QObject* parent)
    : QObject(parent),
      options_(options),
      bus_(bus),
      devices_(devices),
      book_(book),
      payouts_(payouts),
      health_(journal),
      publish_(std::move(publish)),
      gate_(options.allow, options.commandsPerSecond, options.commandBurst) {
  commandWait_.setSingleShot(true);
  connect(&commandWait_, &QTimer::timeout, this, &ConsumerCommands::runCommands);
  ackWrite_.setSingleShot(true);
  connect(&ackWrite_, &QTimer::timeout, this, &ConsumerCommands::writeAcks);
}

QString ConsumerCommands::topic(const char* leaf) const {
  return options_.prefix + u'/' + QLatin1String(leaf);
}

void ConsumerCommands::onMessage(const QString& topic, const QByteArray& payload) {
  if (topic == this->topic("ack")) return onAck(payload);
  if (topic == this->topic("cmd")) return onCommand(payload);
  if (topic == this->topic("route")) return onRoute(payload);
}

void ConsumerCommands::onRefused(const QString& topic, qsizetype bytes) {
  if (topic == this->topic("cmd")) replyError(QJsonValue(), gate_.refuseUnread(bytes).error);
}

void ConsumerCommands::replyError(const QJsonValue& id, const QString& error) {
  publish_(QStringLiteral("reply"), payloads::errorReply(id, error));
}

void ConsumerCommands::stop(const QString& why) {
  stopped_ = why;
  payouts_->stop(why);
  commandWait_.stop();
  for (const Command& command : commands_) replyError(command.id, why);
  commands_.clear();
}

void ConsumerCommands::onAck(const QByteArray& payload) {
  if (payload.size() > kMaxCommandBytes) return;
  const QString id =
      QJsonDocument::fromJson(payload).object().value(QLatin1String("id")).toString();
  if (id.isEmpty() || ackSet_.contains(id)) return;
  // Beyond the bound it is dropped: the credit comes again and is acknowledged again.
  if (acks_.size() >= kAcksWaiting) return;
  acks_.append(id);
  ackSet_.insert(id);
  if (!ackWrite_.isActive()) ackWrite_.start(kAckBatchMs);
}

// One batch in one transaction; the rest wait their turn, so the polls keep theirs.
void ConsumerCommands::writeAcks() {
  const QStringList batch = acks_.mid(0, kAcksPerBatch);
  acks_.remove(0, batch.size());
  for (const QString& id : batch) ackSet_.remove(id);
  // An ack the journal cannot take now is asked for again: the credit is published again.
  Journal& journal = health_->journal();
  if (health_->takes() && !journal.acknowledge(batch)) health_->failed(journal.errorString());
  payouts_->acknowledge(batch);
  if (!acks_.isEmpty()) ackWrite_.start(kAckBatchMs);
}

void ConsumerCommands::onCommand(const QByteArray& payload) {
  if (stopped_.isEmpty() && payouts_->take(payload, [this] { return gate_.admit(); })) return;
  const GateResult checked = gate_.check(payload);
  if (!checked.command) return replyError(checked.id, checked.error);
  const Command& command = *checked.command;
  if (!stopped_.isEmpty()) return replyError(command.id, stopped_);
  // Only a device that answers its polls gets commands: anything else would wait out a time-out
  // on the line for every request.
  const auto device = devices_->find(command.address);
  if (device == devices_->end() || !device->second->answering()) {
    return replyError(command.id,
                      QStringLiteral("no device answering at address %1").arg(command.address));
  }
  // Held notes are routed by their escrow id: a RouteBill routes whatever note is held.
  if (calls::isRoute(command.method) && options_.escrow == EscrowPolicy::Hold) {
    return replyError(command.id, kRouteByEscrowId);
  }
  // What changes a device runs once by its id, kept in the journal.
  if (!CommandGate::isOpen(command.method)) return payouts_->run(command, payload);
  // A route is for the note a customer is waiting on: it goes ahead of the other commands, and
  // only routes can make another route wait.
  const auto isRoute = [](const Command& c) { return calls::isRoute(c.method); };
  const bool route = isRoute(command);
  const qsizetype ahead =
      route ? std::count_if(commands_.begin(), commands_.end(), isRoute) : commands_.size();
  if (ahead >= kCommandQueueLength) return replyError(command.id, QStringLiteral("busy"));
  commands_.insert(route ? ahead : commands_.size(), command);
  runCommands();
}

void ConsumerCommands::runCommands() {
  if (commandOnLine_ || commands_.isEmpty()) return;
  const bool route = calls::isRoute(commands_.front().method);
  const int waitMs = route ? 0 : budget_.waitMs();
  if (waitMs > 0) return commandWait_.start(waitMs);
  const Command command = commands_.takeFirst();
  const bool stack = calls::isStackRoute(command.method, command.inputs);
  if (route) {
    const auto it = devices_->find(command.address);
    Device* device = it != devices_->end() ? it->second.get() : nullptr;
    if (device) device->hold.stop();
    // The held note is journalled before it may be stacked; without a journal it goes back.
    if (device && stack && device->held) {
      if (!book_->journalNote(*device)) {
        device->held.reset();
        book_->route(device->address, RouteCode::Return);
        replyError(command.id, QStringLiteral("not accepting: the note is returned (journal: %1)")
                                   .arg(health_->text()));
        return runCommands();
      }
      killPoint("after-journal");
    }
  }
  quennet::BusReply* reply = nullptr;
  try {
    reply = bus_->invoke(
        command.address, command.method, command.inputs,
        route ? quennet::BusClient::Priority::High : quennet::BusClient::Priority::Normal);
  } catch (const quennet::MisuseError& e) {
    replyError(command.id, e.message());
    return runCommands();
  }
  commandOnLine_ = true;
  QElapsedTimer onLine;
  onLine.start();
  connect(reply, &quennet::BusReply::finished, this, [this, reply, onLine, stack, id = command.id] {
    if (stack && reply->busResult().acknowledged) killPoint("after-stack");
    budget_.spend(onLine.elapsed());
    commandOnLine_ = false;
    publish_(QStringLiteral("reply"), payloads::commandReply(id, *reply));
    reply->deleteLater();
    runCommands();
  });
}

// {"id", "escrow", "action": "stack"|"return"}: routes the note only while it is the one that
// escrow id named.
void ConsumerCommands::onRoute(const QByteArray& payload) {
  if (payload.size() > kMaxCommandBytes) {
    gate_.admit();
    return replyError(QJsonValue(),
                      QStringLiteral("request larger than %1 bytes").arg(kMaxCommandBytes));
  }
  const QJsonObject o = QJsonDocument::fromJson(payload).object();
  const QJsonValue id = o.value(QLatin1String("id"));
  if (!gate_.admit()) return replyError(id, QStringLiteral("too many requests"));
  if (!id.isString() && !id.isDouble()) return replyError(QJsonValue(), QStringLiteral("no id"));
  if (const QString twice = duplicateKey(payload); !twice.isEmpty()) {
    return replyError(id, duplicateKeyError(twice));
  }
  if (!stopped_.isEmpty()) return replyError(id, stopped_);
  // Asked again: the answer it had; the note is not routed twice.
  if (const auto stored = payouts_->storedRouteReply(id)) {
    return publish_(QStringLiteral("reply"), *stored);
  }
  const QString escrow = o.value(QLatin1String("escrow")).toString();
  const QString action = o.value(QLatin1String("action")).toString();
  if (action != u"stack" && action != u"return") {
    return replyError(id, QStringLiteral("action wants stack or return"));
  }
  const auto held = std::find_if(devices_->begin(), devices_->end(), [&](const auto& entry) {
    const Device& d = *entry.second;
    return !escrow.isEmpty() && d.held && d.held->id == escrow && d.hold.isActive();
  });
  if (held == devices_->end()) return replyError(id, kEscrowChanged);
  Device& device = *held->second;
  device.hold.stop();
  // A stack goes through the journal first; a note the journal cannot take goes back.
  const auto answer = std::make_shared<CreditBook::Routed>();
  const auto routed = [answer](const CallStatus& reply) { (*answer)(reply); };
  bool sent = false;
  if (action == u"stack") {
    sent = book_->routeToStacker(device, routed);
  } else {
    device.held.reset();
    sent = book_->route(device.address, RouteCode::Return, routed);
  }
  if (!sent) return replyError(id, QStringLiteral("port lost: ") + portError_());
  const bool stacked = device.pending && device.pending->id == escrow && device.held;
  *answer = [this, id, escrow, payload, stacked](const CallStatus& reply) {
    const QByteArray answer = payloads::routeReply(id, escrow, stacked, reply);
    payouts_->rememberRoute(id, payload, answer);
    publish_(QStringLiteral("reply"), answer);
  };
}

}  // namespace quennetd
