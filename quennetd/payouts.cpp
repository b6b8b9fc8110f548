#include "quennetd/payouts.h"

#include <algorithm>

#include <QDateTime>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QTimeZone>

#include "quennet/bus/bus_client.h"
#include "quennet/bus/bus_reply.h"
#include "quennet/commands/dispatch.h"
#include "quennet/link/link_engine.h"
#include "quennet/link/quennet_error.h"
#include "quennetd/kill_point.h"
#include "quennetd/payloads.h"

namespace quennetd {

namespace {

constexpr int kMostCoinsAtOnce = 255;      // one byte of the dispense command
constexpr qint64 kCountModulus = 1 << 24;  // the dispense count has three bytes
// A paying hopper is asked for its payout status this often, as hosts do.
constexpr int kHopperPollMs = 150;
// A hopper whose status has not moved for this long while it says coins remain, or that does not
// give its status this many times running, is left paying: its part stays open and is settled
// once the hopper says it is done.
constexpr int kHopperStallMs = 10000;
constexpr int kHopperStatusMisses = 3;
constexpr int kQueueLength = 16;

QByteArray compact(const QJsonObject& o) {
  return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

// The ledger's key of a request id: the id as JSON, so that "7" and 7 are different requests.
QString keyOf(const QJsonValue& id) {
  return QString::fromUtf8(QJsonDocument(QJsonArray{id}).toJson(QJsonDocument::Compact));
}

// A route's id is of its own kind: a route and a request with one id are two.
QString routeKeyOf(const QJsonValue& id) {
  return QString::fromUtf8(
      QJsonDocument(QJsonArray{id, QStringLiteral("route")}).toJson(QJsonDocument::Compact));
}

QJsonValue idOfKey(const QString& key) {
  return QJsonDocument::fromJson(key.toUtf8()).array().at(0);
}

QString idText(const QJsonValue& id) {
  return id.isString() ? id.toString() : QString::number(id.toInteger());
}

}  // namespace

Payouts::Payouts(quennet::BusClient* bus, const DaemonOptions& options, Publish publish,
                 QObject* parent)
    : QObject(parent), bus_(bus), options_(options), publish_(std::move(publish)) {
  budgetWait_.setSingleShot(true);
  connect(&budgetWait_, &QTimer::timeout, this, &Payouts::next);
  prune_.setInterval(kPruneIntervalMs);
  connect(&prune_, &QTimer::timeout, this, [this] { ledger_.prune(retentionMs()); });
}

qint64 Payouts::retentionMs() const {
  return quennetd::retentionMs(options_.retentionDays);
}

bool Payouts::open(const QString& path, const QString& journalId, std::function<qint64()> clock) {
  journalId_ = journalId;
  if (!ledger_.open(path, std::move(clock))) return false;
  prune_.start();
  return ledger_.prune(retentionMs());
}

void Payouts::close() {
  prune_.stop();
  ledger_.close();
}

std::optional<qint64> Payouts::coinValueOf(int address) const {
  for (const auto& [hopper, value] : options_.payoutHoppers) {
    if (hopper == address) return value;
  }
  return std::nullopt;
}

quennet::BusReply* Payouts::invoke(int address, const quennet::BusCommand& command,
                                   QString* error) {
  try {
    quennet::BusReply* reply =
        bus_->invoke(static_cast<quint8>(address), command.method, command.inputs);
    if (budget_) {
      QElapsedTimer onLine;
      onLine.start();
      connect(reply, &quennet::BusReply::finished, this,
              [this, onLine] { budget_->spend(onLine.elapsed()); });
    }
    return reply;
  } catch (const quennet::MisuseError& e) {
    *error = e.message();
  }
  return nullptr;
}

// ---- requests ------------------------------------------------------------------------------

bool Payouts::take(const QByteArray& payload, const std::function<bool()>& admit) {
  if (payload.size() > kMaxCommandBytes) return false;
  const QJsonObject o = QJsonDocument::fromJson(payload).object();
  const QString method = o.value(QLatin1String("method")).toString();
  if (method != kPayMethod && method != kQueryMethod) return false;
  const QJsonValue id = o.value(QLatin1String("id"));
  if (const QString twice = duplicateKey(payload); !twice.isEmpty()) {
    admit();
    reply(errorReply(id.isString() || id.isDouble() ? id : QJsonValue(), duplicateKeyError(twice)));
    return true;
  }
  // Every request counts against the rate, readable or not.
  if (!admit()) {
    reply(errorReply(id.isString() || id.isDouble() ? id : QJsonValue(),
                     QStringLiteral("too many requests")));
    return true;
  }
  if (!id.isString() && !id.isDouble()) {
    reply(errorReply(QJsonValue(), QStringLiteral("no id")));
    return true;
  }
  if (method == kQueryMethod) {
    query(id, o);
    return true;
  }
  const QJsonValue amount = o.value(QLatin1String("amount"));
  const double a = amount.toDouble(-1);
  if (!amount.isDouble() || a != static_cast<double>(static_cast<qint64>(a)) || a < 1) {
    reply(errorReply(id, QStringLiteral("amount wants a whole number of minor units above 0")));
    return true;
  }
  if (options_.payoutHoppers.isEmpty()) {
    reply(errorReply(id, QStringLiteral("pay: no payout hoppers configured")));
    return true;
  }
  Job job;
  job.key = keyOf(id);
  job.id = id;
  job.request = payload;
  job.amount = static_cast<qint64>(a);
  job.left = job.amount;
  for (const auto& [address, value] : options_.payoutHoppers) job.hoppers.append({address, value});
  std::stable_sort(job.hoppers.begin(), job.hoppers.end(),
                   [](const Part& x, const Part& y) { return *x.coinValue > *y.coinValue; });
  enqueue(std::move(job));
  return true;
}

void Payouts::run(const Command& command, const QByteArray& payload) {
  Job job;
  job.key = keyOf(command.id);
  job.id = command.id;
  job.request = payload;
  job.command = command;
  if (command.method == kDispenseMethod)
    job.hoppers.append({command.address, coinValueOf(command.address)});
  // An emergency stop cannot wait behind the payout it is meant to end.
  if (command.method == kHopperStopMethod && current_ && current_->pays()) return stopNow(job);
  enqueue(std::move(job));
}

void Payouts::stopNow(const Job& job) {
  const QString problem = journalProblem();
  if (!problem.isEmpty()) return reply(errorReply(job.id, QStringLiteral("journal: ") + problem));
  if (const auto seen = ledger_.find(job.key)) {
    if (!seen->reply.isEmpty()) reply(seen->reply);
    return;
  }
  if (!ledger_.begin(job.key, job.request)) {
    return reply(errorReply(job.id, QStringLiteral("journal: ") + ledger_.errorString()));
  }
  QString error;
  quennet::BusReply* r =
      invoke(job.command->address, {job.command->method, job.command->inputs}, &error);
  if (!r) return answer(job.key, errorReply(job.id, error));
  connect(r, &quennet::BusReply::finished, this, [this, r, key = job.key, id = job.id] {
    r->deleteLater();
    answer(key, compact(payloads::deviceReply(id, *r)));
  });
}

QString Payouts::journalProblem() const {
  QString problem = problem_ ? problem_() : QString();
  if (problem.isEmpty() && !ledger_.isOpen()) {
    problem = ledger_.errorString().isEmpty() ? QStringLiteral("not open") : ledger_.errorString();
  }
  return problem;
}

void Payouts::enqueue(Job job) {
  const QString problem = journalProblem();
  if (!problem.isEmpty()) return reply(errorReply(job.id, QStringLiteral("journal: ") + problem));
  if (jobs_.size() >= kQueueLength) return reply(errorReply(job.id, QStringLiteral("busy")));
  jobs_.append(std::move(job));
  next();
}

void Payouts::stop(const QString& why) {
  budgetWait_.stop();
  for (const Job& job : jobs_) reply(errorReply(job.id, why));
  jobs_.clear();
}

void Payouts::next() {
  if (current_ || reconciling_ || !reconciled_ || jobs_.isEmpty()) return;
  if (const int waitMs = budget_ ? budget_->waitMs() : 0; waitMs > 0) {
    return budgetWait_.start(waitMs);
  }
  current_ = std::make_unique<Job>(jobs_.takeFirst());
  startJob(*current_);
}

void Payouts::done() {
  current_.reset();
  // Whatever a job left unsettled is settled before the next one runs.
  if (!ledger_.unsettled().isEmpty()) return reconcile();
  next();
}

void Payouts::startJob(Job& job) {
  if (!ledger_.isOpen()) {
    reply(errorReply(job.id, QStringLiteral("journal: ") + ledger_.errorString()));
    return done();
  }
  // Seen before: the stored reply, never the command again. One still running answers itself.
  if (const auto seen = ledger_.find(job.key)) {
    if (!seen->reply.isEmpty()) reply(seen->reply);
    return done();
  }
  if (job.pays()) killPoint("payout-before-journal");
  if (!ledger_.begin(job.key, job.request)) {
    reply(errorReply(job.id, QStringLiteral("journal: ") + ledger_.errorString()));
    return done();
  }
  if (job.pays()) return nextPart();
  QString error;
  quennet::BusReply* r =
      invoke(job.command->address, {job.command->method, job.command->inputs}, &error);
  if (!r) {
    answer(job.key, errorReply(job.id, error));
    return done();
  }
  connect(r, &quennet::BusReply::finished, this, [this, r] {
    r->deleteLater();
    answer(current_->key, compact(payloads::deviceReply(current_->id, *r)));
    done();
  });
}

// The next hopper's part: its count, then the journal, then the coins.
void Payouts::nextPart() {
  Job& job = *current_;
  int coins = 0;
  Part hopper;
  while (job.nextHopper < job.hoppers.size() && coins == 0) {
    hopper = job.hoppers[job.nextHopper++];
    coins =
        job.command
            ? job.command->inputs.value(0).toInt()
            : static_cast<int>(std::min<qint64>(job.left / *hopper.coinValue, kMostCoinsAtOnce));
  }
  if (coins <= 0) {
    if (job.command && job.deviceReply.isEmpty()) {
      job.deviceReply = QJsonObject{{"id", job.id},
                                    {"error", QStringLiteral("no coins asked for: nothing sent")}};
    }
    return finishJob();
  }
  status(hopper.address, [this, hopper, coins](std::optional<HopperStatus> now) {
    // Still paying an earlier payout (one a restart found running, say): a dispense now would be
    // refused, and its coins would count for this part.
    if (now && now->remaining > 0) {
      if (current_->command) {
        current_->deviceReply =
            QJsonObject{{"id", current_->id},
                        {"error", QStringLiteral("hopper %1 is still paying %2 coins of an earlier "
                                                 "payout: nothing sent")
                                      .arg(hopper.address)
                                      .arg(now->remaining)}};
      }
      return nextPart();
    }
    read(hopper.address, [this, hopper, coins](std::optional<HopperReading> before) {
      partFrom(hopper, coins, before);
    });
  });
}

void Payouts::partFrom(const Part& hopper, int coins, const std::optional<HopperReading>& before) {
  Job& job = *current_;
  if (!before) {
    // Not answering: nothing is asked of it. A command for it fails; pay tries the next.
    if (job.command) {
      job.deviceReply = QJsonObject{
          {"id", job.id},
          {"error", QStringLiteral("hopper %1 does not give its dispense count: nothing paid")
                        .arg(hopper.address)}};
    }
    return nextPart();
  }
  const std::optional<qint64> number = ledger_.nextPayoutNumber();
  if (!number) {
    job.deviceReply =
        QJsonObject{{"id", job.id}, {"error", QStringLiteral("journal: ") + ledger_.errorString()}};
    return finishJob();
  }
  PayoutPart part;
  part.id = QStringLiteral("%1/%2/%3.%4")
                .arg(idText(job.id))
                .arg(hopper.address)
                .arg(journalId_)
                .arg(*number);
  part.requestKey = job.key;
  part.requestId = QJsonDocument(QJsonArray{job.id}).toJson(QJsonDocument::Compact);
  part.address = hopper.address;
  part.requested = coins;
  part.coinValue = hopper.coinValue;
  part.countBefore = before->count;
  part.serial = before->serial;
  if (!ledger_.beginPayout(part)) {
    job.deviceReply =
        QJsonObject{{"id", job.id}, {"error", QStringLiteral("journal: ") + ledger_.errorString()}};
    return finishJob();
  }
  killPoint("payout-after-journal");
  dispense(part,
           dispenseCode(options_, static_cast<std::uint8_t>(hopper.address), before->serialNumber));
}

void Payouts::dispense(const PayoutPart& part, std::int32_t code) {
  const auto send = [this, part, code] {
    QString error;
    // The code goes with this request only: each hopper's own.
    bus_->setHopperCode(code);
    quennet::BusReply* r =
        invoke(part.address, calls::dispenseCoins(part.requested).command, &error);
    if (!r) {
      current_->deviceReply = QJsonObject{{"id", current_->id}, {"error", error}};
      return awaitHopper(part);
    }
    connect(r, &quennet::BusReply::finished, this, [this, r, part] {
      r->deleteLater();
      current_->deviceReply = payloads::deviceReply(current_->id, *r);
      if (r->result() == quennet::kResultOk && !r->acknowledged()) {
        emit note(QStringLiteral("hopper %1 refused to dispense %2 coin(s): disabled, still "
                                 "paying, or not its dispense code (code= on its device line)")
                      .arg(part.address)
                      .arg(part.requested));
      }
      // Refused or unanswered, it may still be paying: its status says when it is done.
      awaitHopper(part);
    });
  };
  if (current_->command) return send();
  // pay enables the hopper itself; a command does only what the consumer asked.
  QString error;
  quennet::BusReply* enable = invoke(part.address, calls::enableHopper().command, &error);
  if (!enable) return send();
  connect(enable, &quennet::BusReply::finished, this, [enable, send] {
    enable->deleteLater();
    send();
  });
}

// Waits until the hopper has no coin left to pay, then settles the part from its count.
void Payouts::awaitHopper(const PayoutPart& part) {
  awaitIdle(part, [this, part](bool idle) {
    // Still paying, or silent: the part stays open and is settled when the hopper is done.
    if (!idle) return done();
    read(part.address, [this, part](std::optional<HopperReading> after) {
      // Its count cannot be read now: likewise.
      if (!after) return done();
      killPoint("payout-after-dispense");
      const std::optional<qint64> value = settle(part, *after);
      current_->payouts.append(part.id);
      // What the hoppers paid cannot be told: nothing more is paid for this request.
      if (!value) return finishJob();
      if (!current_->command) current_->left -= *value;
      nextPart();
    });
  });
}

void Payouts::status(int address, const std::function<void(std::optional<HopperStatus>)>& then) {
  QString error;
  const DeviceCall<HopperStatus> call = calls::hopperStatus();
  quennet::BusReply* r = invoke(address, call.command, &error);
  if (!r) return then(std::nullopt);
  connect(r, &quennet::BusReply::finished, this, [r, then, call] {
    r->deleteLater();
    then(calls::replyOf(*r, call).value);
  });
}

void Payouts::awaitIdle(const PayoutPart& part, const std::function<void(bool)>& then) {
  struct Watch {
    std::optional<HopperStatus> last;
    QElapsedTimer unchanged;
    int misses = 0;
  };
  auto watch = std::make_shared<Watch>();
  watch->unchanged.start();
  auto poll = std::make_shared<std::function<void()>>();
  // The poll holds itself only while a reply or a timer is on its way.
  *poll = [this, part, then, watch, weak = std::weak_ptr(poll)] {
    status(part.address, [this, part, then, watch,
                          self = weak.lock()](std::optional<HopperStatus> now) {
      if (now && now->remaining == 0) return then(true);
      watch->misses = now ? 0 : watch->misses + 1;
      if (now && now != watch->last) {
        watch->last = now;
        watch->unchanged.restart();
        progress(part, *now);
      }
      if (watch->misses >= kHopperStatusMisses || watch->unchanged.elapsed() >= kHopperStallMs) {
        return then(false);
      }
      QTimer::singleShot(kHopperPollMs, this, [self] { (*self)(); });
    });
  };
  (*poll)();
}

void Payouts::progress(const PayoutPart& part, const HopperStatus& now) {
  publish_(QStringLiteral("progress"),
           payloads::progress(part.id, QJsonDocument::fromJson(part.requestId).array().at(0),
                              part.address, part.requested, now.paid, now.remaining));
  killPoint("payout-while-paying");
}

void Payouts::read(int address, const std::function<void(std::optional<HopperReading>)>& then) {
  QString error;
  const DeviceCall<qint64> hopperCount = calls::hopperCount();
  quennet::BusReply* r = invoke(address, hopperCount.command, &error);
  if (!r) return then(std::nullopt);
  connect(r, &quennet::BusReply::finished, this, [this, r, address, then, hopperCount] {
    r->deleteLater();
    const std::optional<qint64> count = calls::replyOf(*r, hopperCount).value;
    if (!count) return then(std::nullopt);
    QString error;
    const DeviceCall<SerialNumber> serialNumber = calls::serialNumber();
    quennet::BusReply* s = invoke(address, serialNumber.command, &error);
    if (!s) return then(std::nullopt);
    connect(s, &quennet::BusReply::finished, this, [s, then, count, serialNumber] {
      s->deleteLater();
      const auto serial = calls::replyOf(*s, serialNumber).value;
      if (!serial) return then(std::nullopt);
      then(HopperReading{*count, serial->rendered, serial->label.toUInt()});
    });
  });
}

std::optional<qint64> Payouts::settle(const PayoutPart& part, const HopperReading& after) {
  const qint64 moved =
      ((after.count - part.countBefore) % kCountModulus + kCountModulus) % kCountModulus;
  // A part journalled before hoppers had their serial numbers written has none to compare.
  const bool replaced = !part.serial.isEmpty() && after.serial != part.serial;
  const bool doubt = replaced || moved > part.requested;
  const int paid = doubt ? 0 : static_cast<int>(moved);
  const qint64 value = part.coinValue ? paid * *part.coinValue : 0;
  payloads::PayoutView view{part.id,
                            QJsonDocument::fromJson(part.requestId).array().at(0),
                            part.address,
                            part.requested,
                            paid,
                            part.coinValue,
                            {}};
  if (doubt) {
    view.reason = replaced
                      ? QStringLiteral("another hopper answers at address %1 (serial %2, was %3)")
                            .arg(part.address)
                            .arg(after.serial, part.serial)
                      : QStringLiteral("the hopper's dispense count went from %1 to %2")
                            .arg(part.countBefore)
                            .arg(after.count);
  }
  const QByteArray payload = payloads::payout(view);
  // Published even when the journal fails now: the consumer hears of the coins either way.
  ledger_.settlePayout(part.id, payload, paid, value);
  publish_(QStringLiteral("payout"), payload);
  killPoint("payout-after-publish");
  if (doubt) return std::nullopt;
  return value;
}

void Payouts::finishJob() {
  Job& job = *current_;
  QByteArray out;
  if (!job.command) {
    out = payReply(job.id, job.amount, job.key);
  } else {
    QJsonObject o = job.deviceReply;
    if (o.isEmpty()) o = QJsonObject{{"id", job.id}, {"error", kInterrupted}};
    if (!o.contains(QLatin1String("error"))) o.insert(QStringLiteral("payouts"), job.payouts);
    out = compact(o);
  }
  answer(job.key, out);
  done();
}

QByteArray Payouts::payReply(const QJsonValue& id, qint64 amount, const QString& key) {
  qint64 paid = 0;
  qint64 doubt = 0;
  QJsonArray ids;
  for (const QByteArray& payload : ledger_.payoutsOf(key)) {
    const QJsonObject o = QJsonDocument::fromJson(payload).object();
    if (o.value(QLatin1String("state")).toString() == u"in-doubt") {
      doubt += o.value(QLatin1String("requested")).toInteger() *
               o.value(QLatin1String("coin")).toInteger();
    } else {
      paid += o.value(QLatin1String("value")).toInteger();
    }
    ids.append(o.value(QLatin1String("id")));
  }
  return payloads::payReply(id, amount, paid, doubt, ids);
}

std::optional<QByteArray> Payouts::storedRouteReply(const QJsonValue& id) {
  if (!ledger_.isOpen()) return std::nullopt;
  const auto seen = ledger_.find(routeKeyOf(id));
  if (!seen || seen->reply.isEmpty()) return std::nullopt;
  return seen->reply;
}

bool Payouts::rememberRoute(const QJsonValue& id, const QByteArray& request,
                            const QByteArray& reply) {
  const QString key = routeKeyOf(id);
  return ledger_.isOpen() && ledger_.begin(key, request) && ledger_.finish(key, reply);
}

void Payouts::answer(const QString& key, const QByteArray& payload) {
  ledger_.finish(key, payload);
  reply(payload);
}

// ---- after a restart -----------------------------------------------------------------------

void Payouts::reconcile() {
  if (current_ || reconciling_ || !ledger_.isOpen()) return;
  reconciling_ = true;
  settleFrom(ledger_.unsettled(), 0);
}

void Payouts::settleFrom(const QList<PayoutPart>& parts, int k) {
  if (k < parts.size()) {
    // A hopper still paying the part when the service stopped is let finish first: its count is
    // final only then. It is never told to pay again.
    return awaitIdle(parts[k], [this, parts, k](bool idle) {
      if (!idle) return settleFrom(parts, k + 1);
      read(parts[k].address, [this, parts, k](std::optional<HopperReading> after) {
        if (after) settle(parts[k], *after);
        settleFrom(parts, k + 1);
      });
    });
  }
  // Requests a kill interrupted: answered with what their payouts paid, or as interrupted. One
  // whose hopper does not answer now stays open until it does.
  QSet<QString> open;
  for (const PayoutPart& part : ledger_.unsettled()) open.insert(part.requestKey);
  for (const QString& key : ledger_.unanswered()) {
    if (open.contains(key)) continue;
    const auto request = ledger_.find(key);
    const QJsonObject o =
        QJsonDocument::fromJson(request ? request->request : QByteArray()).object();
    const QJsonValue id = idOfKey(key);
    if (o.value(QLatin1String("method")).toString() == kPayMethod) {
      answer(key, payReply(id, o.value(QLatin1String("amount")).toInteger(), key));
    } else {
      answer(key, errorReply(id, kInterrupted));
    }
  }
  reconciling_ = false;
  reconciled_ = true;
  next();
}

void Payouts::resend() {
  if (!ledger_.isOpen()) return;
  for (const QByteArray& payload : ledger_.outstandingPayouts()) {
    publish_(QStringLiteral("payout"), payload);
  }
  if (reconciled_ && !ledger_.unsettled().isEmpty()) reconcile();
}

bool Payouts::acknowledge(const QStringList& ids) {
  return ledger_.isOpen() && ledger_.acknowledgePayouts(ids);
}

// ---- query ---------------------------------------------------------------------------------

void Payouts::query(const QJsonValue& id, const QJsonObject& request) {
  if (!ledger_.isOpen()) {
    return reply(errorReply(id, QStringLiteral("journal: ") + ledger_.errorString()));
  }
  const QJsonValue sinceText = request.value(QLatin1String("since"));
  QDateTime since = QDateTime::fromString(sinceText.toString(), Qt::ISODateWithMs);
  if (!sinceText.isUndefined() && !since.isValid()) {
    return reply(errorReply(id, QStringLiteral("since wants a time, ISO 8601")));
  }
  if (!since.isValid()) since = QDateTime::fromSecsSinceEpoch(0, QTimeZone::utc());
  const QList<QByteArray> credits = credits_ ? credits_->unacknowledged() : QList<QByteArray>();
  const QList<QByteArray> payouts = ledger_.outstandingPayouts();
  const CreditTotals c = credits_ ? credits_->totalsSince(since) : CreditTotals();
  const LedgerTotals t = ledger_.totalsSince(since);
  reply(payloads::queryReply(id, since, credits.mid(0, kQueryListLimit), credits.size(),
                             payouts.mid(0, kQueryListLimit), payouts.size(), c, t));
}

}  // namespace quennetd
