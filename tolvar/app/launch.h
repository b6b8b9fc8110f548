#pragma once
// The program's command line and its run: settings file, optional virtual validator, window.

#include <optional>

#include <QString>
#include <QStringList>

class QApplication;

namespace tolvar {

struct LaunchOptions {
  QString settingsPath;  // --settings; empty: the usual place
  bool simulate = false;
  int quitAfterMs = -1;  // --quit-after: close by itself (headless smoke runs)
  QString screenshotPath;
  bool readData = false;     // --read-data: Unit Data and Note Data once the window is up
  QStringList consoleLines;  // --console: run in the command console once the window is up
  QString scriptPath;        // --script: run in Script Run once the window is up
  QString capturePath;       // --capture: the continuous capture's file, from the start
};

// Parses the arguments; on --help or an error prints to stdout/stderr and returns the exit code.
std::optional<LaunchOptions> parseLaunchOptions(const QStringList& arguments, int& exitCode);

int runTolvar(QApplication& app);

}  // namespace tolvar
