#pragma once
// Script Run: a file of commands in the words of `quennet batch`, one a line, run on the bench's
// own line in its turn, one line after the other while the window stays live, into a pass/fail
// table. A line passes when it meets what its `# expect` comment says, else when the device
// acknowledged it. The run can stop at the first failure; the table saves as a report.

#include <vector>

#include <QDockWidget>
#include <QString>

#include "quennet/commands/batch_input.h"
#include "tolvar/mainwindow/console/bench_command.h"

class QCheckBox;
class QLabel;
class QPushButton;
class QTableWidget;

namespace tolvar {

class LineTurn;
class UiServices;

class ScriptRunPane : public QWidget {
  Q_OBJECT

 public:
  enum Column { Line, Command, Expected, Result, Acknowledged, Outputs, Pass, Time, Ms, kColumns };

  explicit ScriptRunPane(QWidget* parent = nullptr);
  static QString title(int column);

  QPushButton* open;
  QPushButton* run;
  QPushButton* stop;
  QCheckBox* stopOnFailure;
  QPushButton* save;
  QLabel* summary;
  QTableWidget* table;
};

class ScriptRun : public QObject {
  Q_OBJECT

 public:
  ScriptRun(LineTurn& turn, UiServices& ui, ScriptRunPane& pane, QObject* parent = nullptr);

  // Reads a script and lists its lines, not run yet; false after a message when it cannot be read.
  bool load(const QString& path);
  // "Open…": asks for a script and loads it.
  void openScript();
  // Runs the lines from the first, each in the line's turn; finished() at the end.
  void start();
  // Stops after the line that runs now.
  void requestStop();
  bool running() const { return running_; }
  // The table as shown, after notes naming the script and the outcome (text files only).
  bool saveReport(const QString& path, QString* error) const;
  void saveReportAs();

 signals:
  void finished();

 private:
  struct Step {
    int line = 0;  // in the file, from 1
    QString command;
    quennet::BatchCommand parsed;
    QString error;  // the line cannot run
  };
  void runNext();
  void runStep();
  void finish(const QString& why);
  void showState();
  QString passText() const;

  LineTurn& turn_;
  UiServices& ui_;
  ScriptRunPane& pane_;
  BenchCommand command_;
  QString path_;
  std::vector<Step> steps_;
  std::size_t next_ = 0;
  int passed_ = 0;
  int failed_ = 0;
  bool running_ = false;
  bool stopRequested_ = false;
  QString ending_;  // why the last run ended where it did
};

class ScriptRunDock : public QDockWidget {
  Q_OBJECT

 public:
  ScriptRunDock(LineTurn& turn, UiServices& ui, QWidget* parent = nullptr);

  ScriptRunPane* pane() { return pane_; }
  ScriptRun& script() { return *script_; }

 private:
  ScriptRunPane* pane_;
  ScriptRun* script_;
};

}  // namespace tolvar
