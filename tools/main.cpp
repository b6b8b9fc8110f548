// The `quennet` command-line tool: one ccTalk command method per run, or an event watch.
#include <fcntl.h>
#include <unistd.h>

#include <csignal>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTextStream>

#include "tools/cli_runner.h"

namespace {

// The signal handler only writes the signal's number here; the event loop of whatever wait is
// running reads it and stops the call.
int signalPipe[2] = {-1, -1};

extern "C" void onStopSignal(int number) {
  const auto byte = static_cast<unsigned char>(number);
  [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
}

bool installStopSignals(quennet::cli::StopSignal& stop, QObject* owner) {
  if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, owner);
  QObject::connect(notifier, &QSocketNotifier::activated, owner, [&stop] {
    unsigned char number = 0;
    while (::read(signalPipe[0], &number, 1) == 1) stop.fire(128 + number);
  });
  struct sigaction action {};
  action.sa_handler = onStopSignal;
  sigemptyset(&action.sa_mask);
  return ::sigaction(SIGINT, &action, nullptr) == 0 && ::sigaction(SIGTERM, &action, nullptr) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  quennet::cli::StopSignal stop;
  QTextStream out(stdout);
  QTextStream err(stderr);
  if (!installStopSignals(stop, &app))
    err << "quennet: Ctrl-C will not end a wait early" << Qt::endl;
  quennet::cli::CliStreams streams{out, err, [] { return true; }, &stop};
  QStringList arguments = QCoreApplication::arguments();
  arguments.removeFirst();
  return quennet::cli::runCli(arguments, streams);
}
