#include "tolvar/app/launch.h"

#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <csignal>
#include <cstdio>
#include <functional>
#include <limits>
#include <memory>

#include <QAction>
#include <QApplication>
#include <QCommandLineParser>
#include <QSocketNotifier>
#include <QTimer>

#include "bnvsim/simulator.h"
#include "tolvar/mainwindow/console/command_console.h"
#include "tolvar/mainwindow/console/script_run.h"
#include "tolvar/mainwindow/presenters/line_turn.h"
#include "tolvar/mainwindow/services/widget_ui_services.h"
#include "tolvar/mainwindow/settings/settings_location.h"
#include "tolvar/mainwindow/simulator/virtual_validator_presenter.h"
#include "tolvar/mainwindow/traffic/capture_files.h"
#include "tolvar/mainwindow/traffic/traffic_dock.h"
#include "tolvar/mainwindow/traffic/traffic_pane.h"
#include "tolvar/mainwindow/window/frm_host.h"
#include "tolvar/mainwindow/window/host_toolbar.h"

namespace tolvar {

namespace {

constexpr int kMaxQuitAfterSeconds = std::numeric_limits<int>::max() / 1000;

// SIGTERM and SIGINT (a logout, `kill`, Ctrl-C in the terminal) close the window as the user
// would, so the settings are saved and the port closed; the handler only writes to a pipe.
int stopPipe[2] = {-1, -1};

void onStopSignal(int) {
  const char byte = 1;
  [[maybe_unused]] const ssize_t written = ::write(stopPipe[1], &byte, 1);
}

// Calls `stop` in the event loop when a stop signal comes; null when the pipe cannot be made.
std::unique_ptr<QSocketNotifier> watchStopSignals(const std::function<void()>& stop) {
  if (::pipe2(stopPipe, O_CLOEXEC | O_NONBLOCK) != 0) return nullptr;
  struct sigaction action {};
  action.sa_handler = onStopSignal;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGTERM, &action, nullptr);
  ::sigaction(SIGINT, &action, nullptr);
  auto notifier = std::make_unique<QSocketNotifier>(stopPipe[0], QSocketNotifier::Read);
  QObject::connect(notifier.get(), &QSocketNotifier::activated, [stop] {
    char byte = 0;
    while (::read(stopPipe[0], &byte, 1) > 0) {
    }
    stop();
  });
  return notifier;
}

// The reads let the event loop run while they wait, so the picture is scheduled only after them:
// a timer started earlier could fire mid-read.
void afterShown(frmHost& window, const LaunchOptions& launch) {
  if (launch.readData) {
    const auto* bar = window.findChild<HostToolBar*>(QStringLiteral("tlbHost"));
    for (const char* key : {"Unit_Data", "Note_Data"})
      bar->button(QString::fromLatin1(key))->trigger();
  }
  if (!launch.consoleLines.isEmpty()) {
    CommandConsoleDock* dock = window.consoleDock();
    dock->show();
    dock->raise();
    for (const QString& line : launch.consoleLines) {
      const LineTurn::Scope scope(window.lineTurn());
      dock->console().runLine(line);
    }
  }
  const QString& screenshotPath = launch.screenshotPath;
  const auto picture = [&window, screenshotPath] {
    if (screenshotPath.isEmpty()) return;
    QTimer::singleShot(500, &window, [&window, screenshotPath] {
      if (!window.grab().save(screenshotPath))
        std::fprintf(stderr, "tolvar: cannot save %s\n", qPrintable(screenshotPath));
      window.close();
    });
  };
  // A script runs while the window stays live; the picture waits for its end.
  if (!launch.scriptPath.isEmpty()) {
    ScriptRunDock* dock = window.scriptDock();
    dock->show();
    dock->raise();
    ScriptRun& script = dock->script();
    if (script.load(launch.scriptPath)) script.start();
    if (script.running()) {
      QObject::connect(&script, &ScriptRun::finished, &window, picture, Qt::SingleShotConnection);
      return;
    }
  }
  picture();
}

}  // namespace

std::optional<LaunchOptions> parseLaunchOptions(const QStringList& arguments, int& exitCode) {
  QCommandLineParser parser;
  parser.setApplicationDescription(QStringLiteral(
      "Tolvar: a ccTalk test bench for bank note validators.\n"
      "Without --settings the settings live in tolvar.ini beside the program, or in the\n"
      "per-user configuration folder when the program's folder is read-only."));
  const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")},
                                QStringLiteral("Show this help and exit."));
  const QCommandLineOption version(QStringLiteral("version"),
                                   QStringLiteral("Print the version and exit."));
  const QCommandLineOption simulate(
      QStringLiteral("simulate"),
      QStringLiteral("Start the built-in virtual validator on a pseudo-terminal and use it; the "
                     "port choice in the settings is left alone."));
  const QCommandLineOption settings(QStringLiteral("settings"),
                                    QStringLiteral("Read and write the settings file <path>."),
                                    QStringLiteral("path"));
  const QCommandLineOption quitAfter(QStringLiteral("quit-after"),
                                     QStringLiteral("Close the window after <seconds>."),
                                     QStringLiteral("seconds"));
  const QCommandLineOption screenshot(
      QStringLiteral("screenshot"),
      QStringLiteral("Save a picture of the window to <file> once it is shown, then close."),
      QStringLiteral("file"));
  const QCommandLineOption readData(
      QStringLiteral("read-data"),
      QStringLiteral("Read the unit data and the note data once the window is shown, as the "
                     "Unit Data and Note Data buttons do (before any --screenshot)."));
  const QCommandLineOption console(
      QStringLiteral("console"),
      QStringLiteral("Show the command console and run <line> in it once the window is shown "
                     "(after --read-data; may be given more than once)."),
      QStringLiteral("line"));
  const QCommandLineOption capture(
      QStringLiteral("capture"),
      QStringLiteral("Show the traffic pane and capture every frame to <file> (rotated by size, "
                     "as the last capture or %1 files of %2 MB).")
          .arg(CaptureFiles::kDefaultFiles)
          .arg(CaptureFiles::kDefaultMegabytes),
      QStringLiteral("file"));
  const QCommandLineOption script(
      QStringLiteral("script"),
      QStringLiteral("Show Script Run, open <file> in it and run it once the window is shown "
                     "(after --console; a --screenshot waits for its end)."),
      QStringLiteral("file"));
  parser.addOptions({help, version, simulate, settings, quitAfter, screenshot, readData, console,
                     script, capture});
  if (!parser.parse(arguments)) {
    std::fprintf(stderr, "%s\n", qPrintable(parser.errorText()));
    exitCode = 2;
    return std::nullopt;
  }
  if (parser.isSet(help)) {
    std::fprintf(stdout, "%s", qPrintable(parser.helpText()));
    exitCode = 0;
    return std::nullopt;
  }
  if (parser.isSet(version)) {
    std::fprintf(stdout, "tolvar %s\n", TOLVAR_VERSION);
    exitCode = 0;
    return std::nullopt;
  }
  LaunchOptions options;
  options.simulate = parser.isSet(simulate);
  options.settingsPath = parser.value(settings);
  options.screenshotPath = parser.value(screenshot);
  options.readData = parser.isSet(readData);
  options.consoleLines = parser.values(console);
  options.scriptPath = parser.value(script);
  options.capturePath = parser.value(capture);
  if (parser.isSet(quitAfter)) {
    bool ok = false;
    const double seconds = parser.value(quitAfter).toDouble(&ok);
    // A timer holds at most INT_MAX milliseconds; "inf" and "nan" parse as numbers.
    if (!ok || !(seconds > 0 && seconds <= kMaxQuitAfterSeconds)) {
      std::fprintf(stderr, "--quit-after needs a number of seconds above 0, at most %d\n",
                   kMaxQuitAfterSeconds);
      exitCode = 2;
      return std::nullopt;
    }
    options.quitAfterMs = static_cast<int>(std::ceil(seconds * 1000));
  }
  return options;
}

int runTolvar(QApplication& app) {
  int exitCode = 0;
  const std::optional<LaunchOptions> launch = parseLaunchOptions(app.arguments(), exitCode);
  if (!launch) return exitCode;

  HostOptions options;
  options.settingsPath =
      settingsFilePath(launch->settingsPath, QCoreApplication::applicationDirPath());
  bnvsim::Simulator simulator{bnvsim::SimulatorOptions{}};
  if (launch->simulate) {
    QString error;
    if (!simulator.start(&error)) {
      std::fprintf(stderr, "tolvar: cannot start the virtual validator: %s\n", qPrintable(error));
      return 1;
    }
    options.simulatedPort = simulator.slavePath();
    std::fprintf(stdout, "tolvar: virtual validator at address %d on %s\n",
                 simulator.validatorAddress(), qPrintable(options.simulatedPort));
    std::fflush(stdout);
  }

  WidgetUiServices ui;
  // Started before the window: a box raised while it opens (a port that cannot be opened) must
  // not keep the program from ending either.
  QTimer quitTimer;
  frmHost* shown = nullptr;
  bool quitting = false;
  quitTimer.setSingleShot(true);
  const auto quit = [&ui, &shown, &quitting] {
    quitting = true;
    ui.stopAsking();
    if (shown) shown->close();
  };
  QObject::connect(&quitTimer, &QTimer::timeout, quit);
  const std::unique_ptr<QSocketNotifier> stopSignals = watchStopSignals(quit);
  if (launch->quitAfterMs >= 0) quitTimer.start(launch->quitAfterMs);
  frmHost window(ui, options);
  ui.setParent(&window);
  if (quitting) {
    window.close();
    return 0;
  }
  shown = &window;
  if (launch->simulate) {
    // The built-in validator's own controls, beside the form: without them nothing can happen.
    window.addVirtualValidator(new VirtualValidatorDock(simulator, &window));
    window.lineTurn().setStatusText(
        QStringLiteral("Every note inhibited: Note Opt'n, Enable All; Poll BNV; Insert Note"));
  }
  if (!launch->capturePath.isEmpty()) {
    TrafficPane* pane = window.trafficDock()->trafficPane();
    CaptureFiles::Setup setup = pane->capture().setup();
    setup.path = launch->capturePath;
    pane->startCapture(setup);
    window.trafficDock()->show();
  }
  window.show();
  QTimer::singleShot(0, &window, [&window, &launch] { afterShown(window, *launch); });
  return app.exec();
}

}  // namespace tolvar
