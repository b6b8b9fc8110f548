#pragma once
// The operator's commands, one line at a time: what the interactive console of the program runs.

#include <optional>

#include <QString>

#include "bnvsim/simulator.h"

namespace bnvsim {

std::optional<Fault> faultFromName(const QString& name);
// "silent, busy, nak, badcrc, truncated, noise, late, noecho"
QString faultNameList();

class Console {
 public:
  explicit Console(Simulator& simulator) : simulator_(simulator) {}
  // Runs one command line and returns what to show the operator.
  QString execute(const QString& line);
  bool quitRequested() const { return quit_; }
  static QString help();

 private:
  QString setLine(const QString& what, const QString& value);
  QString status() const;

  Simulator& simulator_;
  bool quit_ = false;
};

}  // namespace bnvsim
