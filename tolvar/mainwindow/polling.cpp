#include "tolvar/mainwindow/polling.h"

#include <array>

#include <QAction>
#include <QLabel>
#include <QLineEdit>
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
  // A tick during another command's wait is skipped; the next one catches up.
  frmHost::CommandScope scope(host_, false);
  if (!scope.acquired()) return;
  if (bytPendingRoute_ == kRouteNone) {
    PollEvents();
    return;
  }
  const std::uint8_t route = bytPendingRoute_;
  if (RouteNote(route) != quennet::kResultOk) return;  // stays pending for the next tick
  if (route == kRouteReturn || route == kRouteStack) host_.fraNote->hide();
  bytPendingRoute_ = kRouteNone;
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

std::int16_t Polling::RouteNote(std::uint8_t route) {
  std::uint8_t address = 0;
  QString response;
  std::int16_t result = 1;
  if (host_.ApplyDetails(address)) {
    lastGoodAddress_ = address;
    result = host_.control()->RouteBill(address, route, response);
  }
  host_.setStatusText(kReplyPrefix + response);
  host_.ShowDebug();
  return result;
}

void Polling::escrowPressed(std::uint8_t route) {
  if (!host_.settings().SnglStp) {
    bytPendingRoute_ = route;
    return;
  }
  frmHost::CommandScope scope(host_);
  if (scope.acquired()) RouteNote(route);
}

}  // namespace tolvar
