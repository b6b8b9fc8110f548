// The virtual validator's paced line, seen from the host's side of the pseudo-terminal: the
// achieved byte time against 1.0417 ms (9600 baud 8N1), the turnaround from the host's last byte
// to the first reply byte, and the simulator's memory under a flood of polls nobody reads.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include <QByteArray>

#include "bench_help.h"
#include "bnvsim/bus.h"
#include "bnvsim/simulator.h"
#include "quennet/link/link_engine.h"

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start, Clock::time_point t) {
  return std::chrono::duration<double, std::milli>(t - start).count();
}

QByteArray frame(std::uint8_t header) {
  quennet::LinkEngine engine;
  engine.setChecksumType(quennet::CHKSM_16BIT);
  engine.LoadFrame(40, header);
  return engine.BuildFrame();
}

struct Spread {
  double median, low, high;
};

Spread spread(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return {values[values.size() / 2], values.front(), values.back()};
}

long residentKiB() {
  long pages = 0;
  long resident = 0;
  if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(statm, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(statm);
  }
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// Sends one request and times every byte that comes back: its echo, then the reply.
std::vector<double> arrivals(int fd, const QByteArray& request, std::size_t expected) {
  std::vector<double> times;
  const Clock::time_point start = Clock::now();
  if (::write(fd, request.constData(), static_cast<std::size_t>(request.size())) < 0) return {};
  pollfd readable{fd, POLLIN, 0};
  while (times.size() < expected && ::poll(&readable, 1, 500) > 0) {
    char buffer[64];
    const ssize_t count = ::read(fd, buffer, sizeof buffer);
    const double at = msSince(start, Clock::now());
    for (ssize_t i = 0; i < count; ++i) times.push_back(at);
  }
  return times;
}

}  // namespace

int main(int argc, char** argv) {
  if (answeredHelp(argc, argv,
                   "Usage: bench_pacing [ROUNDS]\nThe virtual validator\'s paced line seen from "
                   "the host: byte times of the echo and of a\n16-byte reply, the turnaround, over "
                   "ROUNDS event-buffer requests (default 200, at least 3),\nthen its memory under "
                   "a flood of 10000 polls nobody reads.\n"))
    return 0;
  const int rounds = argc > 1 ? std::max(3, std::atoi(argv[1])) : 200;
  bnvsim::SimulatorOptions options;
  options.line.pacing = true;
  bnvsim::Simulator simulator(options);
  if (!simulator.start()) return 1;
  const int fd = ::open(simulator.slavePath().toLocal8Bit().constData(), O_RDWR | O_NOCTTY);
  if (fd < 0) return 1;

  // Event buffer: a 5-byte request echoed, then a 16-byte reply (15 byte times first to last).
  const QByteArray request = frame(159);
  const std::size_t echo = static_cast<std::size_t>(request.size());
  const std::size_t expected = echo + 16;
  std::vector<double> replyByte, echoByte, turnaround, total;
  for (int i = 0; i < rounds; ++i) {
    const std::vector<double> t = arrivals(fd, request, expected);
    if (t.size() != expected) {
      std::fprintf(stderr, "round %d: %zu bytes\n", i, t.size());
      return 1;
    }
    replyByte.push_back((t[expected - 1] - t[echo]) / 15);
    echoByte.push_back((t[echo - 1] - t[0]) / static_cast<double>(echo - 1));
    turnaround.push_back(t[echo] - t[echo - 1]);
    total.push_back(t[expected - 1]);
    std::this_thread::sleep_for(std::chrono::milliseconds(3));
  }

  const auto row = [](const char* what, Spread s, double ideal) {
    std::printf("%-44s %8.4f ms  (%+.2f %%)  min %.4f  max %.4f  ideal %.4f\n", what, s.median,
                100.0 * (s.median - ideal) / ideal, s.low, s.high, ideal);
  };
  std::printf("paced virtual validator, %d event-buffer requests (echo on)\n", rounds);
  row("byte time, 16-byte reply (first to last / 15)", spread(replyByte), bnvsim::kByteTimeMs);
  row("byte time, echo of the request", spread(echoByte), bnvsim::kByteTimeMs);
  row("turnaround, last echo byte to first reply", spread(turnaround), bnvsim::kByteTimeMs);
  row("request written to last reply byte", spread(total), 21 * bnvsim::kByteTimeMs);

  // A host that floods polls and never reads: a few are answered, the rest dropped.
  const QByteArray poll = frame(254);
  QByteArray flood;
  constexpr int kPolls = 10000;
  for (int i = 0; i < kPolls; ++i) flood += poll;
  const int framesBefore = simulator.framesReceived();
  const long before = residentKiB();
  if (::write(fd, flood.constData(), static_cast<std::size_t>(flood.size())) < 0) return 1;
  while (simulator.framesReceived() - framesBefore < kPolls) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  std::printf("flood of %d polls unread: resident %ld KiB before, %ld KiB after; %d dropped\n",
              kPolls, before, residentKiB(), simulator.framesDropped());
  ::close(fd);
  return 0;
}
