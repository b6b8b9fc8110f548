// `quennet batch` against the paced virtual validator: simple polls through one process and one
// port, timed per poll against the wire floor (a 5-byte poll and its echo, then a 5-byte ACK, at
// 1.0417 ms a byte). Two clients: lock-step (write a line, read its answer, as a script does)
// and pipelined (every line written at once, the answers read as they come). Beside them the
// same polls from this process through a command set and through the C interface, and from a
// bare C loop (bare_loop.c) with no library at all.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <QCoreApplication>
#include <QString>

#include "bare_loop.h"
#include "bnvsim/bus.h"
#include "bnvsim/simulator.h"
#include "quennet/commands/command_set.h"
#include "quennet/link/qt_serial_line.h"
#include "quennet/quennet.h"

extern char** environ;

namespace {

constexpr const char* kUsage =
    "Usage: bench_batch [--polls N] [--repeat-guard MS]\n"
    "                   [--long-lines | --reference-only | --bare-only | --capi-only]\n"
    "Runs `quennet batch` on the paced virtual validator: N simple polls (default 1000)\n"
    "lock-step, then N pipelined, then N from this process through a command set and through\n"
    "the C interface, and N from a bare C loop for reference, and prints the time per poll\n"
    "against the wire floor.\n"
    "--long-lines instead feeds one line of 1, 8 and 40 MB followed by a simple poll, and\n"
    "prints the time to both answers and the tool's peak resident memory.\n"
    "--reference-only: the command set's polls alone, with the CPU time of the calling thread\n"
    "per poll.\n"
    "--bare-only: the bare C loop's polls alone.\n"
    "--capi-only: the C interface's polls alone, with the CPU time per poll of the calling\n"
    "thread and of the library's bus thread.\n"
    "--repeat-guard MS: the quiet kept after each good reply before the next poll (default the\n"
    "library's, none).\n";

// The quiet after a good reply, for the tool and the command set alike.
int repeatGuardMs = quennet::LinkEngine::kRepeatGuardMs;
// The tool's option only where the guard is set.
std::vector<std::string> guardWords() {
  if (repeatGuardMs == quennet::LinkEngine::kRepeatGuardMs) return {};
  return {"--repeat-guard", std::to_string(repeatGuardMs)};
}

double nowMs() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

// The tool in batch mode with pipes on its standard input and output.
class Batch {
 public:
  explicit Batch(const std::string& port) {
    int in[2];
    int out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    std::vector<std::string> words = {QUENNET_TOOL, "--port", port};
    for (const std::string& word : guardWords()) words.push_back(word);
    words.push_back("batch");
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    in_ = in[1];
    out_ = out[0];
  }
  ~Batch() { finish(); }

  bool running() const { return pid_ > 0; }
  bool send(const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
      const ssize_t n = ::write(in_, text.data() + done, text.size() - done);
      if (n <= 0) return false;
      done += static_cast<std::size_t>(n);
    }
    return true;
  }
  // The next answer line, or "" when none came within 5 s.
  std::string answer() {
    for (;;) {
      const auto end = buffer_.find('\n');
      if (end != std::string::npos) {
        std::string line = buffer_.substr(0, end);
        buffer_.erase(0, end + 1);
        return line;
      }
      pollfd readable{out_, POLLIN, 0};
      if (::poll(&readable, 1, 5000) <= 0) return {};
      char chunk[8192];
      const ssize_t n = ::read(out_, chunk, sizeof chunk);
      if (n <= 0) return {};
      buffer_.append(chunk, static_cast<std::size_t>(n));
    }
  }
  int finish() {
    if (pid_ <= 0) return -1;
    ::close(in_);
    ::close(out_);
    int status = 0;
    rusage usage{};
    ::wait4(pid_, &status, 0, &usage);
    peakKiB_ = usage.ru_maxrss;
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  // The child's peak resident set once finished, in KiB.
  long peakKiB() const { return peakKiB_; }

 private:
  pid_t pid_ = -1;
  long peakKiB_ = 0;
  int in_ = -1;
  int out_ = -1;
  std::string buffer_;
};

bool ok(const std::string& answer) {
  return answer.find("\"result\":0") != std::string::npos;
}

// Milliseconds per poll from the first line written to the last answer read; negative on a
// failed poll.
double run(const std::string& port, int polls, bool pipelined) {
  Batch batch(port);
  if (!batch.running()) return -1;
  const double start = nowMs();
  if (pipelined) {
    std::string all;
    for (int i = 0; i < polls; ++i) all += "SendPoll\n";
    if (!batch.send(all)) return -1;
    for (int i = 0; i < polls; ++i) {
      if (!ok(batch.answer())) return -1;
    }
  } else {
    for (int i = 0; i < polls; ++i) {
      if (!batch.send("SendPoll\n") || !ok(batch.answer())) return -1;
    }
  }
  const double perPoll = (nowMs() - start) / polls;
  return batch.finish() == 0 ? perPoll : -1;
}

double threadCpuMs() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

// The simple poll to the validator as it goes on the wire.
QByteArray pollFrame() {
  quennet::CommandSet set;
  set.setChecksumType(quennet::CHKSM_16BIT);
  set.LoadFrame(40, quennet::SIMPLE_POLL);
  return set.BuildFrame();
}

// The same polls from a bare C loop: the poll, then its echo and the ACK.
double bare(const std::string& port, int polls) {
  const QByteArray frame = pollFrame();
  return bare_loop_ms(port.c_str(), reinterpret_cast<const unsigned char*>(frame.constData()),
                      static_cast<int>(frame.size()), static_cast<int>(frame.size()) + 5, polls,
                      500);
}

// The CPU milliseconds this process's thread named `name` has run, or -1 when it has none.
double namedThreadCpuMs(const std::string& name) {
  DIR* tasks = ::opendir("/proc/self/task");
  if (!tasks) return -1;
  double ms = -1;
  while (const dirent* task = ::readdir(tasks)) {
    const std::string dir = std::string("/proc/self/task/") + task->d_name;
    std::string comm;
    std::getline(std::ifstream(dir + "/comm"), comm);
    unsigned long long ns = 0;
    if (comm == name && (std::ifstream(dir + "/schedstat") >> ns)) {
      ms = static_cast<double>(ns) / 1e6;
      break;
    }
  }
  ::closedir(tasks);
  return ms;
}

// The bus client's worker thread, where the library drives the line.
constexpr const char* kBusThread = "quennet bus";

// The same polls through the C interface, as a C program (or Python's package) makes them.
// `callerCpu` and `busCpu`, when given, receive the CPU milliseconds per poll of the calling
// thread and of the library's bus thread.
double throughCApi(const std::string& port, int polls, double* callerCpu = nullptr,
                   double* busCpu = nullptr) {
  quennet_bus* bus = nullptr;
  if (quennet_open(port.c_str(), nullptr, &bus) != QUENNET_OK) return -1;
  if (repeatGuardMs > 0) quennet_set_repeat_guard(bus, repeatGuardMs);
  const auto poll = [bus] {
    quennet_reply* reply = nullptr;
    if (quennet_call(bus, 40, "SendPoll", nullptr, 0, &reply) != QUENNET_OK) return false;
    const bool ok = quennet_reply_result(reply) == 0 && quennet_reply_acknowledged(reply) != 0;
    quennet_reply_free(reply);
    return ok;
  };
  double perPoll = -1;
  if (poll()) {  // the settling after opening
    const double callerStart = threadCpuMs();
    const double busStart = namedThreadCpuMs(kBusThread);
    const double start = nowMs();
    int i = 0;
    while (i < polls && poll()) ++i;
    if (i == polls) perPoll = (nowMs() - start) / polls;
    if (callerCpu) *callerCpu = (threadCpuMs() - callerStart) / polls;
    if (busCpu) *busCpu = (namedThreadCpuMs(kBusThread) - busStart) / polls;
  }
  quennet_free(bus);
  return perPoll;
}

// The same polls from this process through a command set: what the line allows here and now.
// `cpuPerPoll`, when given, receives the calling thread's CPU milliseconds per poll.
double inProcess(const std::string& port, int polls, double* cpuPerPoll = nullptr) {
  quennet::CommandSet set;
  auto line = std::make_unique<quennet::QtSerialLine>();
  line->setDeviceName(QString::fromStdString(port));
  if (!line->open()) return -1;
  set.setLine(std::move(line));
  set.setChecksumType(quennet::CHKSM_16BIT);
  set.setCommsEcho(true);
  set.setRepeatGuardMs(repeatGuardMs);
  QString reply;
  if (set.SendPoll(40, reply) != quennet::kResultOk) return -1;  // the settling after opening
  const double start = nowMs();
  const double cpuStart = threadCpuMs();
  for (int i = 0; i < polls; ++i) {
    if (set.SendPoll(40, reply) != quennet::kResultOk) return -1;
  }
  if (cpuPerPoll) *cpuPerPoll = (threadCpuMs() - cpuStart) / polls;
  return (nowMs() - start) / polls;
}

// One line of `megabytes` MB without a newline until its end, then a simple poll: the long line
// must answer an error and the poll its result, in time linear in the size and with the tool's
// memory bounded whatever the size.
bool longLine(const std::string& port, int megabytes) {
  Batch batch(port);
  if (!batch.running()) return false;
  const std::string chunk(1 << 20, 'x');
  const double start = nowMs();
  for (int i = 0; i < megabytes; ++i) {
    if (!batch.send(chunk)) return false;
  }
  if (!batch.send("\nSendPoll\n")) return false;
  const std::string refused = batch.answer();
  const std::string polled = batch.answer();
  const double elapsed = nowMs() - start;
  const int status = batch.finish();
  const bool right = refused.find("\"error\"") != std::string::npos && ok(polled) && status == 1;
  std::printf("line of %2d MB: %8.1f ms (%.1f ms a MB), peak resident %6.1f MiB%s\n", megabytes,
              elapsed, elapsed / megabytes, static_cast<double>(batch.peakKiB()) / 1024,
              right ? "" : "  WRONG ANSWERS");
  return right;
}

}  // namespace

int main(int argc, char** argv) {
  int polls = 1000;
  bool longLines = false;
  bool referenceOnly = false;
  bool bareOnly = false;
  bool capiOnly = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (std::strcmp(argv[i], "--polls") == 0 && i + 1 < argc) {
      polls = std::max(1, std::atoi(argv[++i]));
    } else if (std::strcmp(argv[i], "--repeat-guard") == 0 && i + 1 < argc) {
      repeatGuardMs = std::max(0, std::atoi(argv[++i]));
    } else if (std::strcmp(argv[i], "--long-lines") == 0) {
      longLines = true;
    } else if (std::strcmp(argv[i], "--reference-only") == 0) {
      referenceOnly = true;
    } else if (std::strcmp(argv[i], "--bare-only") == 0) {
      bareOnly = true;
    } else if (std::strcmp(argv[i], "--capi-only") == 0) {
      capiOnly = true;
    } else {
      std::fputs(kUsage, stderr);
      return 2;
    }
  }
  QCoreApplication app(argc, argv);
  bnvsim::SimulatorOptions options;
  options.line.pacing = true;
  bnvsim::Simulator simulator(options);
  if (!simulator.start()) return 1;
  const std::string port = simulator.slavePath().toStdString();
  if (longLines) {
    std::printf("quennet batch, one long line then a simple poll\n");
    for (const int megabytes : {1, 8, 40}) {
      if (!longLine(port, megabytes)) return 1;
    }
    return 0;
  }
  const double floor = 10 * bnvsim::kByteTimeMs;
  if (bareOnly) {
    const double perPoll = bare(port, polls);
    if (perPoll < 0) return 1;
    std::printf("bare C loop: %.3f ms a poll, wire floor %.3f ms\n", perPoll, floor);
    return 0;
  }
  if (capiOnly) {
    double caller = 0;
    double busThread = 0;
    const double perPoll = throughCApi(port, polls, &caller, &busThread);
    if (perPoll < 0) return 1;
    std::printf(
        "C interface: %.3f ms a poll, wire floor %.3f ms, cpu %.4f ms a poll in the "
        "caller, %.4f ms in the bus thread\n",
        perPoll, floor, caller, busThread);
    return 0;
  }
  if (referenceOnly) {
    double cpu = 0;
    const double perPoll = inProcess(port, polls, &cpu);
    if (perPoll < 0) return 1;
    std::printf("in-process command set: %.3f ms a poll, wire floor %.3f ms, cpu %.4f ms a poll\n",
                perPoll, floor, cpu);
    return 0;
  }
  std::printf(
      "quennet batch, %d simple polls on the paced virtual validator (echo on), "
      "repeat guard %d ms\n",
      polls, repeatGuardMs);
  const auto row = [&](const char* what, double perPoll) {
    if (perPoll < 0) {
      std::fprintf(stderr, "%s: a poll failed\n", what);
      return false;
    }
    std::printf("%-34s %8.3f ms a poll, wire floor %.3f ms: %.3fx\n", what, perPoll, floor,
                perPoll / floor);
    return true;
  };
  if (!row("bare C loop (reference)", bare(port, polls)) ||
      !row("batch, lock-step", run(port, polls, false)) ||
      !row("batch, pipelined", run(port, polls, true)) ||
      !row("in-process command set", inProcess(port, polls)) ||
      !row("C interface (quennet_call)", throughCApi(port, polls))) {
    return 1;
  }
  return 0;
}
