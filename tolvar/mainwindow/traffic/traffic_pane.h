#pragma once
// The traffic pane: the link's frame log as a scrolling table that follows the newest frame,
// filtered by header and result, with pause (the view stops, the capture goes on), find, copy
// and "Save Log…" to a text or CSV file.

#include <QWidget>

#include "tolvar/mainwindow/traffic/traffic_log.h"

class QAction;
class QCheckBox;
class QComboBox;
class QLineEdit;
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
  // Writes the rows the table shows (or only the selected ones), times with their dates: CSV
  // for a name ending in ".csv", else tab-separated text. The file is replaced whole or not at
  // all; false with the reason on failure.
  bool saveLog(const QString& path, QString* error, bool selectedOnly = false) const;
  // "Save Log…" and "Save Selected…": asks for a file (a time-stamped name is offered) and writes
  // it, with a message when that fails.
  void saveLogAs(bool selectedOnly = false);
  // The selected rows as tab-separated lines, as Ctrl+C puts them on the clipboard.
  QString selectedText() const;
  // Selects the next row after the current one (wrapping) that holds `text` in any column;
  // false when none does.
  bool findNext(const QString& text, bool backwards = false);

  QComboBox* headerFilter;
  QComboBox* resultFilter;
  QCheckBox* follow;
  QCheckBox* pause;
  QLineEdit* find;
  QPushButton* clear;
  QPushButton* save;
  QPushButton* saveSelected;
  QAction* copyAction;
  QAction* findAction;
  QAction* pauseAction;

 private:
  QList<int> selectedRows() const;

  UiServices& ui_;
  TrafficLog* log_;
  TrafficFilter* filter_;
  QTableView* table_;
};

}  // namespace tolvar
