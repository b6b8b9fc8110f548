#include "tolvar/mainwindow/polling.h"

#include <array>

#include <QAction>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScopedValueRollback>
#include <QTimer>
#include <QTreeWidget>

#include "quennet/control/zav_quennet.h"
#include "tolvar/mainwindow/event_texts.h"
#include "tolvar/mainwindow/frm_host.h"
#include "tolvar/mainwindow/host_toolbar.h"
#include "tolvar/mainwindow/number_text.h"

namespace tolvar {

namespace {

const QString kReplyPrefix = QStringLiteral("BNV Reply: ");
const QString kPollKey = QStringLiteral("Poll_BNV");

void setEventColour(QLabel* label, const QColor& colour) {
  QPalette palette = label->palette();
  palette.setColor(QPalette::WindowText, colour);
  label->setPalette(palette);
}

}  // namespace

Polling::Polling(frmHost& host) : host_(host) {}

bool Polling::polling() const {
  return host_.tmrPoll->isActive();
}

void Polling::stopTimer() {
  host_.tmrPoll->stop();
  host_.tlbHost->button(kPollKey)->setText(QStringLiteral("Poll BNV"));
}

void Polling::TogglePolling(bool pressed) {
  if (!pressed) {
    stopTimer();
    return;
  }
  std::uint8_t address = 0;
  if (!host_.ApplyDetails(address)) {
    host_.tlbHost->setPressed(kPollKey, false);
    return;
  }
  lastGoodAddress_ = address;
  QString response;
  const std::int16_t result = host_.control()->SetMasterInhibit(address, 1, response);
  host_.setStatusText(kReplyPrefix + response);
  host_.ShowDebug();
  if (result == quennet::kResultOk && !host_.settings().SnglStp) {
    host_.tlbHost->button(kPollKey)->setText(QStringLiteral("Stop Poll"));
    host_.tmrPoll->setInterval(host_.settings().PollInt);
    host_.tmrPoll->start();
    return;
  }
  if (result == quennet::kResultOk) PollEvents();
  host_.tlbHost->setPressed(kPollKey, false);
}

void Polling::tick() {
  // A tick during a transaction is skipped; the next one catches up. A tick whose message box
  // is open lets the timer run on, and those ticks must not stack up more boxes.
  if (host_.commandRunning() || ticking_) return;
  const QScopedValueRollback<bool> ticking(ticking_, true);
  frmHost::CommandScope scope(host_, false);
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
    host_.fraNote->hide();
  }
  dropPendingRoute();
}

void Polling::dropPendingRoute() {
  bytPendingRoute_ = kRouteNone;
  showPendingRoute();
}

void Polling::showPendingRoute() {
  const std::pair<QPushButton*, std::uint8_t> buttons[] = {{host_.cmdStack, kRouteStack},
                                                           {host_.cmdReturn, kRouteReturn},
                                                           {host_.cmdHoldNote, kRouteHold}};
  for (const auto& [button, route] : buttons) button->setChecked(bytPendingRoute_ == route);
}

std::uint8_t Polling::pollAddress() {
  if (const auto address = strictInteger(host_.txtAddress->text(), 0, 255)) {
    lastGoodAddress_ = static_cast<std::uint8_t>(*address);
  }
  return lastGoodAddress_;
}

std::int16_t Polling::PollEvents() {
  const std::uint8_t address = pollAddress();
  std::array<std::uint8_t, 11> buffer{};
  const std::int16_t result = host_.control()->GetEventBuffer(address, buffer);
  host_.setStatusText(kReplyPrefix);
  if (result != quennet::kResultOk) {
    if (result == quennet::kResultBusy) host_.setStatusText(kReplyPrefix + QStringLiteral("BUSY"));
    host_.ShowDebug();
    return result;
  }
  QTreeWidget* view = host_.lstvwEventBuffer;
  view->clear();
  view->addTopLevelItem(
      new QTreeWidgetItem(QStringList{QStringLiteral("Event #"), QString::number(buffer[0])}));
  for (std::size_t i = 1; i <= 5; ++i) {
    view->addTopLevelItem(new QTreeWidgetItem(QStringList{QStringLiteral("Event %1").arg(i),
                                                          QString::number(buffer[2 * i - 1]),
                                                          QString::number(buffer[2 * i])}));
  }
  if (buffer[0] != bytLastEventCount_) {
    showNewestEvent(buffer[1], buffer[2]);
    bytLastEventCount_ = buffer[0];
  }
  host_.setStatusText(kReplyPrefix + QStringLiteral("Event #") + QString::number(buffer[0]));
  host_.ShowDebug();
  return quennet::kResultOk;
}

void Polling::showNewestEvent(std::uint8_t a, std::uint8_t b) {
  QLabel* label = host_.lblEvent;
  const EventDisplay shown = decodeEvent(a, b);
  if (shown.colour.isValid()) setEventColour(label, shown.colour);
  if (!shown.text.isEmpty()) label->setText(shown.text);
  if (shown.escrow) host_.fraNote->show();
}

Polling::RouteOutcome Polling::RouteNote(std::uint8_t route) {
  std::uint8_t address = 0;
  QString response;
  if (!host_.ApplyDetails(address)) {
    host_.setStatusText(kReplyPrefix);
    host_.ShowDebug();
    return RouteOutcome::NotSent;
  }
  lastGoodAddress_ = address;
  const std::int16_t result = host_.control()->RouteBill(address, route, response);
  host_.setStatusText(kReplyPrefix + response);
  host_.ShowDebug();
  if (result == quennet::kResultOk && response == QLatin1String("ACK")) {
    return RouteOutcome::Accepted;
  }
  // An answer other than ACK means the note did not move. It goes to the event label, where
  // the next poll leaves it until a new event arrives; the status line is rewritten every tick.
  const bool nak = response == QLatin1String("NACK");
  const bool refused = nak || response == QLatin1String("Cannot Route Note") ||
                       response == QLatin1String("No Note in Escrow") ||
                       (result == quennet::kResultOk && !response.isEmpty());
  if (!refused) return RouteOutcome::NoAnswer;
  setEventColour(host_.lblEvent, kEventRed);
  host_.lblEvent->setText(nak ? QStringLiteral("Route Refused (NACK)") : response);
  // The validator holds no note: its buttons have nothing left to route.
  if (response == QLatin1String("No Note in Escrow")) host_.fraNote->hide();
  return RouteOutcome::Refused;
}

void Polling::escrowPressed(std::uint8_t route) {
  if (!host_.settings().SnglStp) {
    bytPendingRoute_ = route;
    showPendingRoute();
    return;
  }
  showPendingRoute();  // a single step routes at once: nothing stays pending
  frmHost::CommandScope scope(host_);
  RouteNote(route);
}

}  // namespace tolvar
