#include "quennet/bus/event_poller.h"

#include <algorithm>
#include <array>

#include "quennet/bus/event_texts.h"
#include "quennet/link/link_engine.h"
#include "quennet/link/protocol.h"

namespace quennet {

namespace {

constexpr int kCounterWrap = 255;
constexpr int kPairsKept = EventReader::kPairs;

quint8 headerOf(EventPoller::Source source) {
  switch (source) {
    case EventPoller::Source::CoinAcceptor:
      return GET_COIN_BUFFER;
    case EventPoller::Source::Hopper:
      return HOPPER_STATUS;
    case EventPoller::Source::BillValidator:
      break;
  }
  return GET_EVENT_BUFFER;
}

}  // namespace

EventPoller::EventPoller(BusClient* client, quint8 address, Source source, QObject* parent)
    : QObject(parent), client_(client), address_(address), source_(source) {
  timer_.setInterval(kDefaultPollIntervalMs);
  connect(&timer_, &QTimer::timeout, this, &EventPoller::poll);
}

std::optional<EventPoller::Source> EventPoller::sourceOf(const QString& category) {
  if (category.contains(QLatin1String("Bill"), Qt::CaseInsensitive)) return Source::BillValidator;
  if (category.contains(QLatin1String("Coin"), Qt::CaseInsensitive)) return Source::CoinAcceptor;
  if (category.contains(QLatin1String("Payout"), Qt::CaseInsensitive) ||
      category.contains(QLatin1String("Hopper"), Qt::CaseInsensitive)) {
    return Source::Hopper;
  }
  return std::nullopt;
}

QString EventPoller::billEventText(quint8 a, quint8 b) {
  return quennet::billEventText(a, b);
}

QString EventPoller::coinEventText(quint8 a, quint8 b) {
  return quennet::coinEventText(a, b);
}

int EventPoller::eventsBetween(int last, int now) {
  return EventReader::eventsBetween(last, now);
}

void EventPoller::start() {
  timer_.start();
  poll();
}

void EventPoller::stop() {
  timer_.stop();
}

int EventPoller::kept() const {
  return source_ == Source::Hopper ? 1 : kPairsKept;
}

void EventPoller::poll() {
  // One poll on the bus at a time: a tick while the last one waits in the queue is skipped, and
  // so is one while the device is asked whether it was reset.
  if (inFlight_ && !inFlight_->isFinished()) return;
  if (asking_ && !asking_->isFinished()) return;
  if (!client_) return stop();
  inFlight_ = client_->sendRequest(address_, headerOf(source_));
  connect(inFlight_, &BusReply::finished, this, &EventPoller::pollFinished);
  // Deleted when finished even if this poller is gone by then.
  connect(inFlight_, &BusReply::finished, inFlight_, &QObject::deleteLater);
}

void EventPoller::pollFinished() {
  const auto* reply = qobject_cast<BusReply*>(sender());
  if (reply->result() != kResultOk) return failed(reply->result(), reply->caption());
  const QByteArray data = reply->data();
  const int expected = headerInfo(headerOf(source_))->replyData;
  // A buffer read answered without its buffer (an ACK, a cut reply) tells nothing about events.
  if (data.size() != expected) {
    const Failure fault = data.size() < expected ? Failure::TooShort : Failure::TooLong;
    return failed(kResultChecksum,
                  QStringLiteral("%1 [%2]").arg(failureText(fault)).arg(data.size()));
  }
  failures_ = 0;
  if (lost_) {
    lost_ = false;
    emit deviceBack();
  }
  read(data);
}

void EventPoller::failed(int result, const QString& caption) {
  lastFailure_ = caption;
  emit pollFailed(result);
  if (++failures_ >= failureLimit_ && !lost_) {
    lost_ = true;
    emit deviceLost();
  }
}

BusEvent EventPoller::eventAt(const QByteArray& data, int age) const {
  BusEvent event;
  event.address = address_;
  const int now = static_cast<quint8>(data[0]);
  event.counter = ((now - 1 - age) % kCounterWrap + kCounterWrap) % kCounterWrap + 1;
  const int first = source_ == Source::Hopper ? 2 : 1 + 2 * age;
  event.a = static_cast<quint8>(data[first]);
  event.b = static_cast<quint8>(data[first + 1]);
  switch (source_) {
    case Source::BillValidator:
      event.buffer = EventBuffer::Bill;
      event.text = billEventText(event.a, event.b);
      break;
    case Source::CoinAcceptor:
      event.buffer = EventBuffer::Coin;
      if (event.isCredit()) event.coinId = coinIds_.value(event.a);
      event.text = quennet::coinEventText(event.a, event.b, event.coinId);
      break;
    case Source::Hopper:
      event.buffer = EventBuffer::Hopper;
      event.text = QStringLiteral("Payout: %1 paid, %2 unpaid, %3 to pay")
                       .arg(event.a)
                       .arg(event.b)
                       .arg(static_cast<quint8>(data[1]));
      break;
  }
  return event;
}

void EventPoller::read(const QByteArray& data) {
  const int now = static_cast<quint8>(data[0]);
  if (source_ != Source::Hopper) {
    const EventReading reading = reader_.read(data);
    if (reading.kind == EventReading::Kind::Question) return ask();
    return report(data, reading);
  }
  // A payout is reported once the hopper has finished it: while coins remain to pay, its paid and
  // unpaid are not yet the payout's. The counter moved at the dispense; the event waits.
  if (now != 0 && static_cast<quint8>(data[1]) > 0 && (first_ || now != last_)) return;
  // A hopper's status has only its counter: 0 after a reset.
  const bool reset = now == 0 && last_ != 0 && !first_;
  EventReading reading{reset ? EventReading::Kind::Reset : EventReading::Kind::Events};
  if (first_) {
    reading.kind = EventReading::Kind::First;
  } else if (!reset && now != 0) {
    const int moved = eventsBetween(last_, now);
    reading.fresh = std::min(moved, kept());
    reading.lost = moved - reading.fresh;
  }
  report(data, reading);
}

void EventPoller::report(const QByteArray& data, const EventReading& reading) {
  using Kind = EventReading::Kind;
  const int now = static_cast<quint8>(data[0]);
  if (reading.kind == Kind::Inconsistent) {
    emit inconsistentRead(now);
    return;
  }
  // The signals below already see the counter of the buffer they report.
  last_ = now;
  int fresh = reading.fresh;
  if (reading.kind == Kind::First) {
    first_ = false;
    // Either learn where the counter stands, or show what the buffer still holds (never as lost).
    fresh = reportKept_ ? std::min(now, kept()) : 0;
  } else if (reading.kind == Kind::Reset) {
    emit counterReset();
    reEnable();
  }
  if (reading.lost > 0) emit eventsLost(reading.lost);
  for (int age = fresh - 1; age >= 0; --age) emit eventReceived(eventAt(data, age));
  emit bufferRead(now);
}

// A reset device comes up with everything inhibited; one whose counter only wrapped keeps what
// it was enabled for.
void EventPoller::ask() {
  if (!client_) return stop();
  asking_ =
      client_->invoke(address_, QStringLiteral("GetInhibitStatus"), {}, BusClient::Priority::High);
  BusReply* const reply = asking_;
  connect(reply, &BusReply::finished, this, [this, reply] {
    std::optional<bool> inhibited;
    const QVariantList mask = reply->outputs().value(QStringLiteral("Response")).toList();
    if (reply->result() == kResultOk && !mask.isEmpty()) {
      inhibited = std::all_of(mask.begin(), mask.end(), [](const QVariant& b) { return b == 0; });
    }
    const QByteArray asked = reader_.question();
    const EventReading reading = reader_.answer(inhibited);
    if (!asked.isEmpty()) report(asked, reading);
  });
  connect(reply, &BusReply::finished, reply, &QObject::deleteLater);
}

void EventPoller::reEnable() {
  if (!client_ || reEnable_.isEmpty()) return;
  reEnableOk_ = true;
  reEnablePending_ += static_cast<int>(reEnable_.size());
  for (const BusCommand& command : reEnable_) {
    BusReply* reply =
        client_->invoke(address_, command.method, command.inputs, BusClient::Priority::High);
    connect(reply, &BusReply::finished, this, &EventPoller::reEnableFinished);
    connect(reply, &BusReply::finished, reply, &QObject::deleteLater);
  }
}

void EventPoller::reEnableFinished() {
  const auto* reply = qobject_cast<BusReply*>(sender());
  if (!reply->busResult().acknowledged) {
    reEnableOk_ = false;
    reEnableFailure_ = reply->caption();
    if (reply->result() == kResultOk) {
      reEnableFailure_ = reply->outputs().value(QStringLiteral("Response")).toString();
    }
  }
  if (--reEnablePending_ > 0) return;
  if (reEnableOk_) {
    emit reEnabled();
  } else {
    emit reEnableFailed();
  }
}

}  // namespace quennet
