#pragma once
// The traffic pane: the link's frame log as a scrolling table that follows the newest frame,
// filtered by header and result, with pause (the view stops, the capture goes on), find, copy
// and "Save Log…" to a text or CSV file, and a continuous capture of every frame to rolling
// files, whatever the table still holds.

#include <QWidget>

#include "tolvar/mainwindow/traffic/capture_files.h"
#include "tolvar/mainwindow/traffic/traffic_log.h"

class QAction;
class QCheckBox;
class QComboBox;
class QSpinBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTableView;

namespace tolvar {

class UiServices;

class TrafficPane : public QWidget {
  Q_OBJECT

 public:
  TrafficPane(UiServices& ui, QWidget* parent = nullptr);

  // A frame logged: into the table, and into the capture when one runs.
  void take(const quennet::FrameRecord& record);
  TrafficLog& log() { return *log_; }
  TrafficFilter& filter() { return *filter_; }
  QTableView* table() { return table_; }
  // How much taller the table would have to be to show a dozen frames; 0 when it does.
  int missingHeight() const;
  // Writes the rows the table shows (or only the selected ones), times with their dates: CSV
  // for a name ending in ".csv", else tab-separated text. The file is replaced whole or not at
  // all; false with the reason on failure.
  bool saveLog(const QString& path, QString* error, bool selectedOnly = false) const;
  // "Save Log…" and "Save Selected…": asks for a file (a time-stamped name is offered) and writes
  // it, with a message when that fails.
  void saveLogAs(bool selectedOnly = false);
  // The selected rows as tab-separated lines, as Ctrl+C puts them on the clipboard.
  QString selectedText() const;
  // Starts the continuous capture; false after a message when the file cannot be opened.
  bool startCapture(const CaptureFiles::Setup& setup);
  void stopCapture();
  const CaptureFiles& capture() const { return capture_; }
  // Selects the next row after the current one (wrapping) that holds `text` in any column;
  // false when none does.
  bool findNext(const QString& text, bool backwards = false);
  // Numbers in hexadecimal or decimal: the rows, and the headers offered in the filter.
  void setHexadecimal(bool hex);

  QComboBox* headerFilter;
  QComboBox* resultFilter;
  QSpinBox* addressFilter;  // -1: every address
  QComboBox* directionFilter;
  QCheckBox* hidePolls;
  QCheckBox* follow;
  QCheckBox* pause;
  QLineEdit* find;
  QPushButton* clear;
  QPushButton* save;
  QPushButton* saveSelected;
  // "Capture…" asks where and starts the capture; "Stop Capture" stops it.
  QPushButton* captureButton;
  // Where the capture writes, or in red why it cannot.
  QLabel* captureStatus;
  QAction* copyAction;
  QAction* findAction;
  QAction* pauseAction;

 private:
  // The constructor's sections, in order.
  void buildFilters();
  void buildTable();
  void buildActions();
  void layOut();
  void connectControls();
  QList<int> selectedRows() const;
  void fillHeaderFilter();
  void showCapture();

  UiServices& ui_;
  TrafficLog* log_;
  TrafficFilter* filter_;
  QTableView* table_;
  CaptureFiles capture_;
  CaptureFiles::Setup captureSetup_;
  QAction* findAgain_ = nullptr;  // F3
  QAction* findBack_ = nullptr;   // Shift+F3
};

}  // namespace tolvar
