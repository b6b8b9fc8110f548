#pragma once
// The operator's commands, one line at a time: what the interactive console of the program runs.

#include <optional>

#include <QStringList>

#include <QString>

#include "bnvsim/simulator.h"

namespace bnvsim {

std::optional<Fault> faultFromName(const QString& name);
// The fault kinds by name, in the order of Fault.
QStringList faultNames();
// "silent, busy, nak, badcrc, truncated, noise, late, noecho, twice, busylate, echonoise,
// echohost, wronglength"
QString faultNameList();
// The faults in force as the status line names them: "busy x2, noise p=0.25, self test 39", or
// "none".
QString faultsText(const ActiveFaults& active);
// A finite probability in 0..1 ("nan" and "inf" are not).
std::optional<double> probabilityFromText(const QString& text);
// Milliseconds in 0..`most`.
std::optional<int> millisecondsFromText(const QString& text, int most);

// The longest reply delay and escrow hold time the simulator takes: ten minutes.
inline constexpr int kMaxSettingMs = 600000;

class Console {
 public:
  explicit Console(Simulator& simulator) : simulator_(simulator) {}
  // Runs one command line and returns what to show the operator.
  QString execute(const QString& line);
  bool quitRequested() const { return quit_; }
  static QString help();

 private:
  QString setLine(const QString& what, const QString& value);
  QString insert(int noteNumber);
  QString fault(const QStringList& words);
  QString deviceFault(const QStringList& words);
  QString status() const;

  Simulator& simulator_;
  bool quit_ = false;
};

}  // namespace bnvsim
