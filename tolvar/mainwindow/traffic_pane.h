#pragma once
// The traffic pane: the link's frame log as a scrolling table, filtered by header and result,
// with pause, clear and "Save Log…" to a text or CSV file.

#include <QWidget>

#include "tolvar/mainwindow/traffic_log.h"

class QCheckBox;
class QComboBox;
class QPushButton;
class QTableView;

namespace tolvar {

class UiServices;

class TrafficPane : public QWidget {
  Q_OBJECT

 public:
  TrafficPane(UiServices& ui, QWidget* parent = nullptr);

  TrafficLog& log() { return *log_; }
  TrafficFilter& filter() { return *filter_; }
  QTableView* table() { return table_; }
  // Writes the rows the table shows: CSV for a name ending in ".csv", else tab-separated text.
  // The file is replaced whole or not at all; false with the reason on failure.
  bool saveLog(const QString& path, QString* error) const;
  // "Save Log…": asks for a file and writes it, with a message when that fails.
  void saveLogAs();

  QComboBox* headerFilter;
  QComboBox* resultFilter;
  QCheckBox* pause;
  QPushButton* clear;
  QPushButton* save;

 private:
  UiServices& ui_;
  TrafficLog* log_;
  TrafficFilter* filter_;
  QTableView* table_;
  bool followNewest_ = true;
};

}  // namespace tolvar
