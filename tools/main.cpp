// The `quennet` command-line tool: one ccTalk command method per run, a batch of them from
// standard input, an event watch or a line monitor.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <optional>

#include <QCoreApplication>
#include <QFile>
#include <QSocketNotifier>
#include <QTextStream>

#include "quennet/commands/batch_input.h"
#include "tools/cli_runner.h"

namespace {

// The signal handler only writes the signal's number here; the event loop of whatever wait is
// running reads it and stops the call.
int signalPipe[2] = {-1, -1};

extern "C" void onStopSignal(int number) {
  const auto byte = static_cast<unsigned char>(number);
  [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
}

void takeSignals(quennet::cli::StopSignal& stop) {
  unsigned char number = 0;
  while (::read(signalPipe[0], &number, 1) == 1) stop.fire(128 + number);
}

bool installStopSignals(quennet::cli::StopSignal& stop, QObject* owner) {
  if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  stop.setPendingSource([&stop] { takeSignals(stop); });
  auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, owner);
  QObject::connect(notifier, &QSocketNotifier::activated, owner, [&stop] { takeSignals(stop); });
  struct sigaction action {};
  action.sa_handler = onStopSignal;
  sigemptyset(&action.sa_mask);
  return ::sigaction(SIGINT, &action, nullptr) == 0 && ::sigaction(SIGTERM, &action, nullptr) == 0;
}

// Standard input a line at a time for `quennet batch`. Between lines the tool sleeps on the
// input and the signal pipe together, so Ctrl-C also ends a batch that waits for its next line.
class InputLines {
 public:
  explicit InputLines(quennet::cli::StopSignal& stop) : stop_(stop) {}

  std::optional<quennet::BatchLine> next() {
    for (;;) {
      if (stop_.fired()) return std::nullopt;
      if (auto line = lines_.next()) return line;
      if (ended_) return lines_.finish();
      pollfd waits[2] = {{STDIN_FILENO, POLLIN, 0}, {signalPipe[0], POLLIN, 0}};
      const int count = signalPipe[0] >= 0 ? 2 : 1;
      if (::poll(waits, count, -1) < 0) {
        if (errno != EINTR) ended_ = true;
        continue;
      }
      if (count == 2 && (waits[1].revents & POLLIN)) takeSignals(stop_);
      if (waits[0].revents != 0) {
        char chunk[4096];
        const ssize_t got = ::read(STDIN_FILENO, chunk, sizeof chunk);
        if (got > 0) {
          lines_.append(chunk, got);
        } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
          ended_ = true;
        }
      }
    }
  }

 private:
  quennet::cli::StopSignal& stop_;
  quennet::BatchLines lines_;
  bool ended_ = false;
};

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  quennet::cli::StopSignal stop;
  // Written straight to the descriptor, so a failed write (a full disk, a reader gone with
  // SIGPIPE ignored) shows in the stream's status at the line that failed.
  QFile standardOutput;
  standardOutput.open(STDOUT_FILENO, QIODevice::WriteOnly | QIODevice::Unbuffered);
  QTextStream out(&standardOutput);
  QTextStream err(stderr);
  if (!installStopSignals(stop, &app))
    err << "quennet: Ctrl-C will not end a wait early" << Qt::endl;
  InputLines input(stop);
  quennet::cli::CliStreams streams{out, err, [] { return true; }, &stop,
                                   [&input] { return input.next(); }};
  QStringList arguments = QCoreApplication::arguments();
  arguments.removeFirst();
  return quennet::cli::runCli(arguments, streams);
}
