#include "tolvar/mainwindow/presenters/polling.h"

#include <algorithm>
#include <array>
#include <utility>

#include <QLabel>
#include <QLineEdit>
#include <QScopedValueRollback>
#include <QTimer>
#include <QTreeWidget>

#include "quennet/control/zav_quennet.h"
#include "quennet/link/frame_decode.h"
#include "quennet/link/protocol.h"
#include "quennet/link/protocol_events.h"
#include "tolvar/mainwindow/panes/details_pane.h"
#include "tolvar/mainwindow/panes/event_texts.h"
#include "tolvar/mainwindow/presenters/line_turn.h"
#include "tolvar/mainwindow/settings/number_text.h"

namespace tolvar {

Polling::Polling(LineTurn& turn, DetailsPane& details, EventPane& events)
    : turn_(turn), details_(details), events_(events), tmrPoll_(new QTimer(this)) {
  tmrPoll_->setObjectName(QStringLiteral("tmrPoll"));
  connect(tmrPoll_, &QTimer::timeout, this, [this] { tick(); });
  connect(&events_, &EventPane::routePressed, this, &Polling::onRoutePressed);
  connect(details_.txtAddress, &QLineEdit::textEdited, this, [this] { held_ = false; });
}

std::uint8_t Polling::holdAddress() {
  held_ = true;
  return lastGoodAddress_;
}

bool Polling::polling() const {
  return tmrPoll_->isActive();
}

void Polling::stop() {
  tmrPoll_->stop();
  emit pollingChanged(false);
}

void Polling::TogglePolling(bool pressed) {
  if (!pressed) {
    stop();
    return;
  }
  std::uint8_t address = 0;
  if (!turn_.ApplyDetails(address)) {
    emit pollButtonReleased();
    return;
  }
  lastGoodAddress_ = address;
  held_ = false;
  QString response;
  const std::int16_t result = turn_.control().SetMasterInhibit(address, 1, response);
  turn_.showReply(response);
  if (result == quennet::kResultOk && !turn_.settings().SnglStp) {
    emit pollingChanged(true);
    tmrPoll_->setInterval(turn_.settings().PollInt);
    tmrPoll_->start();
    return;
  }
  if (result == quennet::kResultOk) PollEvents();
  emit pollButtonReleased();
}

void Polling::tick() {
  // A tick during a transaction is skipped; the next one catches up. A tick whose message box
  // is open lets the timer run on, and those ticks must not stack up more boxes.
  if (turn_.running() || ticking_) return;
  const QScopedValueRollback<bool> ticking(ticking_, true);
  const QScopedValueRollback<bool> fromTimer(fromTimer_, true);
  LineTurn::Scope scope(turn_, false);
  if (bytPendingRoute_ == kRouteNone) {
    PollEvents();
  } else {
    sendPendingRoute();
  }
}

void Polling::sendPendingRoute() {
  const std::uint8_t route = bytPendingRoute_;
  const RouteOutcome outcome = RouteNote(route);
  // Another button pressed while this one was on the line replaces it.
  if (bytPendingRoute_ != route) return;
  // Without an answer the request stays pending for the next tick. A refused address or key
  // was said once; repeating its box at every tick would only bury the window.
  if (outcome == RouteOutcome::NoAnswer) return;
  if (outcome == RouteOutcome::Accepted && (route == kRouteReturn || route == kRouteStack)) {
    events_.showEscrow(false);
  }
  dropPendingRoute();
}

void Polling::dropPendingRoute() {
  bytPendingRoute_ = kRouteNone;
  showPendingRoute();
}

void Polling::deviceReset() {
  dropPendingRoute();
  events_.showEscrow(false);
}

void Polling::showPendingRoute() {
  events_.showPendingRoute(bytPendingRoute_);
}

std::uint8_t Polling::pollAddress() {
  if (held_) return lastGoodAddress_;
  if (const auto address = strictInteger(details_.txtAddress->text(), 0, 255)) {
    lastGoodAddress_ = static_cast<std::uint8_t>(*address);
  }
  return lastGoodAddress_;
}

std::int16_t Polling::PollEvents() {
  const std::uint8_t address = pollAddress();
  // Encryption switched or a key changed while polling counts from this poll on.
  turn_.applyEncryption(false);
  std::array<std::uint8_t, 11> buffer{};
  askInhibits_ = false;
  const std::int16_t result = turn_.control().GetEventBuffer(address, buffer);
  if (std::exchange(askInhibits_, false)) {
    std::array<std::uint8_t, 2> inhibits{};
    turn_.control().GetInhibitStatus(address, inhibits);
  }
  if (result != quennet::kResultOk) {
    const QString reply = result == quennet::kResultBusy ? QStringLiteral("BUSY") : QString();
    if (fromTimer_) {
      turn_.showPollReply(reply);
    } else {
      turn_.showReply(reply);
    }
    return result;
  }
  QTreeWidget* view = events_.lstvwEventBuffer;
  view->clear();
  view->addTopLevelItem(
      new QTreeWidgetItem(QStringList{QStringLiteral("Event #"), QString::number(buffer[0])}));
  for (std::size_t i = 1; i <= 5; ++i) {
    view->addTopLevelItem(new QTreeWidgetItem(QStringList{QStringLiteral("Event %1").arg(i),
                                                          QString::number(buffer[2 * i - 1]),
                                                          QString::number(buffer[2 * i])}));
  }
  if (buffer[0] != bytLastEventCount_) {
    if (buffer[0] == 0) {
      // The pair under a counter of 0 is no event: the buffer is empty after a restart.
      showEvent(counterRestartDisplay());
    } else {
      showNewestEvent(buffer[1], buffer[2]);
    }
    followEscrow(buffer);
    bytLastEventCount_ = buffer[0];
    if (buffer[0] == 0) emit deviceRestarted();
  }
  const QString reply = QStringLiteral("Event #") + QString::number(buffer[0]);
  if (fromTimer_) {
    turn_.showPollReply(reply);
  } else {
    turn_.showReply(reply);
  }
  return quennet::kResultOk;
}

void Polling::followEscrow(const std::array<std::uint8_t, 11>& buffer) {
  constexpr int kKeptEvents = 5;
  constexpr int kCounterWrap = 255;
  const int now = buffer[0];
  const int last = bytLastEventCount_;
  // A counter back at 0 is a reset or a power cycle: any note held has been given back.
  bool held = !events_.fraNote->isHidden() && now != 0;
  const int moved = now == 0 ? 0 : (now > last ? now - last : now + kCounterWrap - last);
  // The new events, oldest first: the buttons follow the note in and out, by whatever path it
  // leaves (stacked, returned when its hold time ran out, jammed), not only a route sent here.
  for (int back = std::min(moved, kKeptEvents) - 1; back >= 0; --back) {
    const auto index = static_cast<std::size_t>(2 * back + 1);
    const EventDisplay event = decodeEvent(buffer[index], buffer[index + 1]);
    if (event.escrow) held = true;
    if (event.leavesEscrow) held = false;
  }
  events_.showEscrow(held);
  // A route request for a note that has gone would only be refused.
  if (!held && bytPendingRoute_ != kRouteNone) dropPendingRoute();
}

void Polling::showNewestEvent(std::uint8_t a, std::uint8_t b) {
  showEvent(decodeEvent(a, b));
}

void Polling::showEvent(const EventDisplay& shown) {
  if (shown.colour.isValid()) events_.setEventColour(shown.colour);
  if (!shown.text.isEmpty()) events_.setEventText(shown.text);
  if (shown.escrow) events_.showEscrow(true);
}

Polling::RouteOutcome Polling::RouteNote(std::uint8_t route) {
  std::uint8_t address = 0;
  QString response;
  if (!turn_.ApplyDetails(address)) {
    turn_.showReply(QString());
    return RouteOutcome::NotSent;
  }
  // The note is in the device polled, wherever the other commands go.
  if (held_) {
    address = lastGoodAddress_;
  } else {
    lastGoodAddress_ = address;
  }
  const std::int16_t result = turn_.control().RouteBill(address, route, response);
  turn_.showReply(response);
  if (result != quennet::kResultOk) return RouteOutcome::NoAnswer;
  if (turn_.control().acknowledged()) return RouteOutcome::Accepted;
  // Any other answer (a NAK, the validator's refusals) means the note did not move. It goes to
  // the event label, where the next poll leaves it until a new event arrives; the status line is
  // rewritten every tick.
  const quennet::DecodedFrame reply = quennet::decodeFrame(
      quennet::byteSpan(turn_.control().replyInClear()), turn_.control().crcMode());
  const bool nak = reply.header == quennet::kHeaderNak;
  events_.setEventColour(kEventRed);
  events_.setEventText(nak ? QStringLiteral("Route Refused (NACK)") : response);
  // The validator holds no note: its buttons have nothing left to route.
  if (reply.data.size() == 1 &&
      static_cast<std::uint8_t>(reply.data[0]) == quennet::kRouteEscrowEmpty) {
    events_.showEscrow(false);
  }
  return RouteOutcome::Refused;
}

void Polling::onRoutePressed(std::uint8_t route) {
  if (!turn_.whenFree([this, route] { escrowPressed(route); })) {
    turn_.refuse();
    showPendingRoute();
  }
}

void Polling::escrowPressed(std::uint8_t route) {
  if (!turn_.settings().SnglStp) {
    bytPendingRoute_ = route;
    showPendingRoute();
    return;
  }
  showPendingRoute();  // a single step routes at once: nothing stays pending
  LineTurn::Scope scope(turn_);
  RouteNote(route);
}

}  // namespace tolvar
