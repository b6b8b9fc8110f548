// Test bench benchmark on the virtual validator: how long the unit-data and note-data reads take
// with every byte paced at 9600 baud, and how Tolvar's memory behaves while it polls.
#include <unistd.h>
#include <cstdio>
#include <fstream>

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QTimer>
#include <QTreeWidget>

#include "bench_help.h"
#include "bnvsim/simulator.h"
#include "tolvar/mainwindow/presenters/data_views.h"
#include "tolvar/mainwindow/presenters/note_enabling.h"
#include "tolvar/mainwindow/presenters/polling.h"
#include "tolvar/mainwindow/services/scripted_ui_services.h"
#include "tolvar/mainwindow/window/frm_host.h"

namespace {

double residentMiB() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0;
  long resident = 0;
  statm >> pages >> resident;
  return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / 1048576.0;
}

void runEventLoopFor(int ms) {
  QEventLoop loop;
  QTimer::singleShot(ms, &loop, &QEventLoop::quit);
  loop.exec();
}

}  // namespace

int main(int argc, char** argv) {
  if (answeredHelp(argc, argv,
                   "Usage: bench_views [--quick]\nTolvar on the paced virtual validator: the "
                   "unit-data and note-data reads, then its\nresident memory while it polls for "
                   "three minutes (--quick: ten seconds).\n"))
    return 0;
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  // Default: three minutes of polling; --quick for a short check.
  const bool quick = argc > 1 && QByteArray(argv[1]) == "--quick";
  const int pollSeconds = quick ? 10 : 180;

  bnvsim::SimulatorOptions options;
  options.line.pacing = true;
  bnvsim::Simulator sim(options);
  QString error;
  if (!sim.start(&error)) {
    std::fprintf(stderr, "cannot start the virtual validator: %s\n", qPrintable(error));
    return 2;
  }
  QTemporaryDir dir;
  tolvar::ScriptedUiServices ui;
  tolvar::frmHost host(
      ui, tolvar::HostOptions{dir.filePath(QStringLiteral("tolvar.ini")), sim.slavePath()});

  QElapsedTimer clock;
  clock.start();
  host.dataViews().ReadUnitData();
  const double unitMs = static_cast<double>(clock.nsecsElapsed()) / 1e6;
  const int unitRows =
      host.findChild<QTreeWidget*>(QStringLiteral("lstViewUnitData"))->topLevelItemCount();
  clock.restart();
  host.dataViews().ReadNoteData();
  const double noteMs = static_cast<double>(clock.nsecsElapsed()) / 1e6;
  const int noteRows =
      host.findChild<QTreeWidget*>(QStringLiteral("lstvwNoteID"))->topLevelItemCount();

  // Enabled notes go through escrow and stacking while the bench polls, as in real use.
  host.noteEnabling().EnableAllNotes();
  host.polling().TogglePolling(true);
  const double rssStart = residentMiB();
  double rssMax = rssStart;
  for (int second = 0; second < pollSeconds; ++second) {
    if (second % 5 == 0) sim.insertNote(1 + second % 4);
    runEventLoopFor(1000);
    rssMax = std::max(rssMax, residentMiB());
  }
  const double rssEnd = residentMiB();
  host.polling().TogglePolling(false);

  std::printf("| measure | result |\n|---|---|\n");
  std::printf("| unit-data read, paced (%d rows) | %.0f ms |\n", unitRows, unitMs);
  std::printf("| note-data read, paced (%d rows) | %.0f ms |\n", noteRows, noteMs);
  std::printf(
      "| Tolvar resident memory polling for %d s | %.1f MiB at start, %.1f MiB at end, "
      "%.1f MiB peak |\n",
      pollSeconds, rssStart, rssEnd, rssMax);
  return unitRows == 17 && noteRows == 16 ? 0 : 1;
}
