// Start-up of the one-shot `quennet SendPoll` against a Qt Core hello, both run as fresh
// processes: the tool's cost over the hello is library loading, port opening and one round
// trip on a pseudo-terminal. Usage: startup_bench [RUNS]   (default 50 of each)

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench_help.h"
#include "spawned_run.h"
#include "support/pty_pair.h"
#include "support/reply_frames.h"

namespace {

// Wall time from spawn to exit in milliseconds; negative for a failed run.
double timedRun(const std::vector<std::string>& command) {
  return spawnedRun(command).seconds * 1e3;
}

struct Series {
  const char* name;
  std::vector<std::string> command;
  std::vector<double> times;
  int failures = 0;
};

double percentile(std::vector<double> times, double share) {
  std::sort(times.begin(), times.end());
  return times[static_cast<std::size_t>(share * static_cast<double>(times.size() - 1))];
}

}  // namespace

int main(int argc, char** argv) {
  if (answeredHelp(argc, argv,
                   "Usage: bench_startup [RUNS]\nStart-up of `quennet --version` and a one-shot "
                   "`quennet SendPoll` against a Qt Core hello,\neach run RUNS times (default 50) "
                   "as fresh processes, interleaved.\n"))
    return 0;
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 50;

  // The device echoes each frame (the tool's default line) and answers ACK.
  PtyPair pty;
  const QByteArray ack = testframes::reply(0, {}, true);
  PtyResponder device(pty, [&ack](const std::vector<unsigned char>& frame) {
    std::vector<unsigned char> answer = frame;
    answer.insert(answer.end(), ack.begin(), ack.end());
    return answer;
  });

  std::vector<Series> series = {
      {"Qt Core hello", {QUENNET_STARTUP_HELLO}, {}},
      {"quennet --version", {QUENNET_TOOL, "--version"}, {}},
      {"quennet SendPoll", {QUENNET_TOOL, "--port", pty.slaveName().toStdString(), "SendPoll"}, {}},
  };
  // One warm-up each so the page cache holds every library; then interleaved, so a busy
  // moment of the machine hits all three alike.
  for (Series& s : series) timedRun(s.command);
  for (int i = 0; i < runs; ++i) {
    for (Series& s : series) {
      const double ms = timedRun(s.command);
      if (ms < 0) {
        ++s.failures;
      } else {
        s.times.push_back(ms);
      }
    }
  }

  const double helloMedian = percentile(series[0].times, 0.5);
  std::printf("%-20s %10s %10s %10s %14s\n", "Start-up", "median ms", "min ms", "p90 ms",
              "over hello ms");
  for (const Series& s : series) {
    if (s.times.empty()) {
      std::printf("%-20s every run failed\n", s.name);
      continue;
    }
    const double median = percentile(s.times, 0.5);
    std::printf("%-20s %10.2f %10.2f %10.2f %14.2f\n", s.name, median, percentile(s.times, 0.0),
                percentile(s.times, 0.9), median - helloMedian);
  }
  int failures = 0;
  for (const Series& s : series) failures += s.failures;
  std::printf("%d runs of each, %d failed\n", runs, failures);
  return failures == 0 ? 0 : 1;
}
