#pragma once
// The operator's commands, one line at a time: what the interactive console of the program runs.
// What an operator does by hand goes through Operator, the typed calls other programs driving the
// simulator make as well; the console only reads the line into them.

#include <QString>

#include "bnvsim/operator.h"
#include "bnvsim/simulator.h"

namespace bnvsim {

class Console {
 public:
  explicit Console(Simulator& simulator) : simulator_(simulator), hands_(simulator) {}
  // Runs one command line and returns what to show the operator.
  QString execute(const QString& line);
  bool quitRequested() const { return quit_; }
  static QString help();

 private:
  QString setLine(const QString& what, const QString& value);
  QString fault(const QStringList& words);
  QString deviceFault(const QStringList& words);
  QString status() const;

  Simulator& simulator_;
  Operator hands_;
  bool quit_ = false;
};

}  // namespace bnvsim
