// Fault soak: every method against the virtual validator over a real pseudo-terminal, with
// random faults on the line and random text in Tolvar's boxes. The work runs in a child process
// (this program again, with --worker) so that a crash is measured, not assumed away.
//
//   fault_soak              the CI size, about 35 s
//   fault_soak --long       ten minutes, for a person
//   fault_soak --seconds N --seed S
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/soak_worker.h"

extern char** environ;

namespace {

constexpr int kLongSeconds = 600;

struct Arguments {
  soak::SoakOptions options;
  bool worker = false;
};

Arguments parse(int argc, char** argv) {
  Arguments args;
  args.options.seed = static_cast<std::uint32_t>(
      std::chrono::steady_clock::now().time_since_epoch().count() & 0xFFFFFFFF);
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--worker") {
      args.worker = true;
    } else if (arg == "--long") {
      args.options.seconds = kLongSeconds;
    } else if (arg == "--seconds" && hasValue) {
      args.options.seconds = std::atoi(argv[++i]);
    } else if (arg == "--seed" && hasValue) {
      args.options.seed = static_cast<std::uint32_t>(std::strtoul(argv[++i], nullptr, 10));
    } else if (arg == "--help" || arg == "-h") {
      std::printf(
          "Usage: fault_soak [--long] [--seconds N] [--seed S]\n"
          "Every method against the virtual validator with random faults, the pseudo-terminal\n"
          "pulled and replaced, and random text in Tolvar's boxes, for N seconds (--long: ten\n"
          "minutes); prints the faults seen, hangs, crashes and memory.\n");
      std::exit(0);
    } else {
      std::fprintf(stderr, "usage: fault_soak [--long] [--seconds N] [--seed S]\n");
      std::exit(2);
    }
  }
  return args;
}

// Runs the worker and reports how it ended; the worker prints the rest of the report.
int runParent(const char* self, const soak::SoakOptions& options) {
  const std::string seconds = std::to_string(options.seconds);
  const std::string seed = std::to_string(options.seed);
  std::vector<char*> argv = {const_cast<char*>(self),
                             const_cast<char*>("--worker"),
                             const_cast<char*>("--seconds"),
                             const_cast<char*>(seconds.c_str()),
                             const_cast<char*>("--seed"),
                             const_cast<char*>(seed.c_str()),
                             nullptr};
  std::fflush(stdout);
  pid_t pid = 0;
  if (posix_spawn(&pid, "/proc/self/exe", nullptr, nullptr, argv.data(), environ) != 0) {
    std::perror("fault_soak: spawn");
    return 2;
  }
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) {
    std::perror("fault_soak: wait");
    return 2;
  }
  const bool crashed = WIFSIGNALED(status);
  const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  if (crashed) {
    std::printf("| crashes | 1 (worker killed by signal %d, %s) |\n", WTERMSIG(status),
                strsignal(WTERMSIG(status)));
  } else {
    std::printf("| crashes | 0 (worker exited with %d) |\n", code);
  }
  const bool passed = !crashed && code == 0;
  std::printf("\nfault soak %s (rerun with --seed %u)\n", passed ? "passed" : "FAILED",
              options.seed);
  return passed ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const Arguments args = parse(argc, argv);
  if (args.worker) return soak::runWorker(args.options);
  return runParent(argv[0], args.options);
}
