#include "quennet/bus/event_poller.h"

#include <algorithm>
#include <array>

#include "quennet/bus/event_texts.h"
#include "quennet/link/link_engine.h"
#include "quennet/link/protocol.h"

namespace quennet {

namespace {

constexpr int kCounterWrap = 255;
constexpr int kPairsKept = 5;
constexpr int kDefaultIntervalMs = 200;

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
  timer_.setInterval(kDefaultIntervalMs);
  connect(&timer_, &QTimer::timeout, this, &EventPoller::poll);
}

QString EventPoller::billEventText(quint8 a, quint8 b) {
  return quennet::billEventText(a, b);
}

QString EventPoller::coinEventText(quint8 a, quint8 b) {
  return quennet::coinEventText(a, b);
}

int EventPoller::eventsBetween(int last, int now) {
  if (now == last || now == 0) return 0;
  if (last == 0 || now > last) return now - last;
  return now + kCounterWrap - last;
}

bool EventPoller::isReset(const QByteArray& before, const QByteArray& now, int kept) {
  if (before.isEmpty() || now.isEmpty()) return false;
  const int last = static_cast<quint8>(before[0]);
  const int counter = static_cast<quint8>(now[0]);
  if (counter == 0) return last != 0;
  if (counter > last || (counter == last && before == now)) return false;
  // Only a buffer of pairs shows empty slots, and only behind fewer new events than it keeps.
  if (counter >= kept || now.size() < 1 + 2 * kept) return false;
  for (int i = 1 + 2 * counter; i < 1 + 2 * kept; ++i) {
    if (now[i] != 0) return false;
  }
  return true;
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
  // One poll on the bus at a time: a tick while the last one waits in the queue is skipped.
  if (inFlight_ && !inFlight_->isFinished()) return;
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
    const QString caption = data.size() < expected ? QStringLiteral("Reply Too Short [%1]")
                                                   : QStringLiteral("Reply Too Long [%1]");
    return failed(kResultChecksum, caption.arg(data.size()));
  }
  failures_ = 0;
  if (lost_) {
    lost_ = false;
    emit deviceBack();
  }
  read(data);
}

void EventPoller::failed(int result, const QString& caption) {
  emit pollFailed(result, caption);
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
      event.text = coinEventText(event.a, event.b);
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
  const int before = last_;
  // A pair buffer's reset shows in its contents; a hopper's status has only its counter.
  const bool reset = source_ == Source::Hopper ? (now == 0 && before != 0 && !first_)
                                               : (!first_ && isReset(lastData_, data, kept()));
  // The signals below already see the counter of the buffer they report.
  last_ = now;
  lastData_ = data;
  int moved = 0;
  if (first_) {
    first_ = false;
    // Either learn where the counter stands, or show what the buffer still holds (never as lost).
    moved = reportKept_ ? std::min(now, kept()) : 0;
  } else if (reset) {
    // The events since the reset are the `now` newest pairs; the empty ones behind are no events.
    emit counterReset();
    reEnable();
    moved = std::min(now, kept());
  } else if (now == 0) {
    moved = 0;
  } else {
    moved = eventsBetween(before, now);
    if (moved > kept()) {
      emit eventsLost(moved - kept());
      moved = kept();
    }
  }
  for (int age = moved - 1; age >= 0; --age) emit eventReceived(eventAt(data, age));
  emit bufferRead(now);
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
