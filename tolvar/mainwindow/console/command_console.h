#pragma once
// The command console: any command method by name with its inputs, or a raw frame (address,
// header, data bytes), run on the bench's own line in its turn. Each run is written below the
// line typed: the outputs or the reply's data, the result, whether the device acknowledged
// it, and how long it took. Up and Down step through the lines already run.

#include <QDockWidget>
#include <QStringList>

#include "tolvar/mainwindow/console/bench_command.h"

class QLineEdit;
class QPlainTextEdit;
class QPushButton;

namespace tolvar {

class LineTurn;

class CommandConsolePane : public QWidget {
  Q_OBJECT

 public:
  explicit CommandConsolePane(QWidget* parent = nullptr);

  // Writes the lines below what is shown.
  void write(const QString& text);
  const QStringList& history() const { return history_; }

  QLineEdit* input;
  QPushButton* run;
  QPlainTextEdit* transcript;

 signals:
  void commandEntered(const QString& line);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void enter();

  QStringList history_;
  qsizetype recalled_ = 0;  // history_.size(): the line being typed
};

// Runs the pane's lines on the control, each in the line's turn.
class CommandConsole : public QObject {
  Q_OBJECT

 public:
  CommandConsole(LineTurn& turn, CommandConsolePane& pane, QObject* parent = nullptr);

  // Runs one line at once; the line must be free. Returns what was written for it.
  QString runLine(const QString& line);

 private:
  LineTurn& turn_;
  CommandConsolePane& pane_;
  BenchCommand command_;
};

class CommandConsoleDock : public QDockWidget {
  Q_OBJECT

 public:
  CommandConsoleDock(LineTurn& turn, QWidget* parent = nullptr);

  CommandConsolePane* pane() { return pane_; }
  CommandConsole& console() { return *console_; }

 private:
  CommandConsolePane* pane_;
  CommandConsole* console_;
};

}  // namespace tolvar
