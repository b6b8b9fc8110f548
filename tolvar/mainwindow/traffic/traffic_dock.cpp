#include "tolvar/mainwindow/traffic/traffic_dock.h"

#include <algorithm>
#include <optional>

#include <QAction>
#include <QTabWidget>

#include "quennet/link/cctalk_codes.h"
#include "quennet/link/link_engine.h"
#include "tolvar/mainwindow/traffic/event_history.h"
#include "tolvar/mainwindow/traffic/traffic_pane.h"

namespace tolvar {

namespace {

constexpr int kEventBufferLength = 11;

}  // namespace

TrafficDock::TrafficDock(UiServices& ui, QWidget* parent)
    : QDockWidget(QStringLiteral("Traffic and Events"), parent),
      pane_(new TrafficPane(ui)),
      history_(new EventHistoryPane(ui)),
      tabs_(new QTabWidget(this)) {
  setObjectName(QStringLiteral("trafficDock"));
  tabs_->addTab(pane_, QStringLiteral("Traffic"));
  tabs_->addTab(history_, QStringLiteral("Event History"));
  setWidget(tabs_);
  toggleViewAction()->setShortcut(QKeySequence(Qt::Key_F9));
  toggleViewAction()->setText(QStringLiteral("Traffic and Events"));
  hide();
}

EventHistory* TrafficDock::eventHistory() {
  return history_->view();
}

void TrafficDock::setHexadecimal(bool hex) {
  pane_->setHexadecimal(hex);
}

void TrafficDock::frameLogged(const quennet::FrameRecord& record) {
  pane_->take(record);
  if (record.direction == quennet::FrameDirection::Host) lastCommand_ = record.frame;
  if (record.direction == quennet::FrameDirection::Device) {
    hostCounts_.count(record);
    emit hostCountsChanged(hostCounts_);
    if (record.result == quennet::kResultOk && record.acknowledged && lastCommand_.complete &&
        lastCommand_.header == record.requestHeader) {
      emit commandAcknowledged(record.requestHeader, lastCommand_.data, record.frame.data);
    }
  }
  if (record.direction == quennet::FrameDirection::Device &&
      record.requestHeader == quennet::GET_EVENT_BUFFER && record.result == quennet::kResultOk &&
      record.frame.data.size() == kEventBufferLength) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(record.frame.data.constData());
    eventHistory()->history().record(
        std::span<const std::uint8_t, kEventBufferLength>(bytes, kEventBufferLength),
        pane_->log().wallTime(record.timeUs));
  }
  // The inhibit status the history asked for settles a read that looked like a reset.
  EventHistoryModel& history = eventHistory()->history();
  if (history.asking() && record.direction == quennet::FrameDirection::Device &&
      record.requestHeader == quennet::GET_INHIBIT_STATUS) {
    std::optional<bool> inhibited;
    if (record.result == quennet::kResultOk && !record.frame.data.isEmpty()) {
      inhibited = std::all_of(record.frame.data.begin(), record.frame.data.end(),
                              [](char b) { return b == 0; });
    }
    history.answer(inhibited, pane_->log().wallTime(record.timeUs));
  }
}

}  // namespace tolvar
