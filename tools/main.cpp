// The `quennet` command-line tool: one ccTalk command method per run, or an event watch.
#include <csignal>

#include <atomic>

#include <QCoreApplication>
#include <QTextStream>

#include "tools/cli_runner.h"

namespace {

std::atomic<bool> interrupted{false};

extern "C" void onInterrupt(int) {
  interrupted = true;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  std::signal(SIGINT, onInterrupt);
  std::signal(SIGTERM, onInterrupt);
  QTextStream out(stdout);
  QTextStream err(stderr);
  quennet::cli::CliStreams streams{out, err, [] { return !interrupted.load(); }};
  QStringList arguments = QCoreApplication::arguments();
  arguments.removeFirst();
  return quennet::cli::runCli(arguments, streams);
}
