#pragma once
// One command run on the bench's own line, as the command console and a script run take it: a
// method by name and its inputs (the address box's address where none is given, or the one
// `--address N` names), or `raw`, an address, a header and data bytes. The caller holds the
// line's turn.

#include <QElapsedTimer>
#include <QString>
#include <QStringList>

class zav_quennet;

namespace tolvar {

class LineTurn;

struct BenchOutcome {
  bool ran = false;  // false: the line could not be run, `text` says why
  int result = 0;
  bool sent = false;  // a frame went out
  bool acknowledged = false;
  double ms = 0;       // from the call to its result
  QString outputs;     // "name: value" for each output (or the reply's data), "; " between
  QString resultText;  // "0 (OK)"
  QString text;        // what the console writes under the line
};

class BenchCommand {
 public:
  explicit BenchCommand(LineTurn& turn) : turn_(turn) {}

  // The words of a line, as a command line after its options takes them.
  BenchOutcome run(QStringList words);
  static const QString& usage();

 private:
  BenchOutcome runMethod(const QString& name, QStringList inputs, int address);
  BenchOutcome runRaw(const QStringList& words);
  void finish(BenchOutcome& outcome, int result, const QStringList& outputs);

  LineTurn& turn_;
  QElapsedTimer timer_;
};

}  // namespace tolvar
