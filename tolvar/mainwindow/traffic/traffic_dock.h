#pragma once
// The dock beside the form that holds the traffic pane and the event history. It observes the
// control's frame log: every frame goes to the pane, every event buffer read to the history.
// Hidden at start so the form looks as designed; F9 or the window's context menu shows it.

#include <QDockWidget>

#include "quennet/link/frame_record.h"
#include "tolvar/mainwindow/traffic/host_counts.h"

class QTabWidget;

namespace tolvar {

class EventHistory;
class EventHistoryPane;
class TrafficPane;
class UiServices;

class TrafficDock : public QDockWidget, public quennet::FrameObserver {
  Q_OBJECT

 public:
  TrafficDock(UiServices& ui, QWidget* parent = nullptr);

  void frameLogged(const quennet::FrameRecord& record) override;
  // Numbers in hexadecimal or decimal, as the debug frames show them.
  void setHexadecimal(bool hex);

  TrafficPane* trafficPane() { return pane_; }
  EventHistory* eventHistory();
  EventHistoryPane* eventHistoryPane() { return history_; }
  QTabWidget* tabs() { return tabs_; }
  const HostCounts& hostCounts() const { return hostCounts_; }

 signals:
  // A reply, or its absence, was counted.
  void hostCountsChanged(const tolvar::HostCounts& counts);
  // The device acknowledged a command, whoever sent it (a button, the console, a script): its
  // header, the data it carried and the reply's data.
  void commandAcknowledged(int header, const QByteArray& sent, const QByteArray& reply);

 private:
  TrafficPane* pane_;
  EventHistoryPane* history_;
  QTabWidget* tabs_;
  HostCounts hostCounts_;
  quennet::DecodedFrame lastCommand_;  // the host frame the next reply answers
};

}  // namespace tolvar
