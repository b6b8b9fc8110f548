// `quennet monitor --input FILE` over files of random bytes, in both checksum modes: the wall
// time and the peak resident memory of each run, so the decoder shows linear time and bounded
// memory whatever the file's size. Usage: monitor_bench [MB...]   (default 1 4 8 16 50)
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "bench_help.h"
#include "spawned_run.h"

namespace {

bool writeRandom(const std::string& path, long megabytes) {
  FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) return false;
  std::mt19937 random(20);
  std::vector<unsigned char> block(1 << 20);
  for (long m = 0; m < megabytes; ++m) {
    for (unsigned char& byte : block) byte = static_cast<unsigned char>(random());
    if (std::fwrite(block.data(), 1, block.size(), file) != block.size()) {
      std::fclose(file);
      return false;
    }
  }
  return std::fclose(file) == 0;
}

}  // namespace

constexpr const char* kUsage =
    "usage: bench_monitor [MB ...]\n"
    "Runs `quennet monitor --input` on files of seeded random bytes of each size (default\n"
    "1 4 8 16 50 MB), in 8-bit and CRC mode, and prints the seconds, seconds per MB and the\n"
    "tool's peak resident memory.\n";

int main(int argc, char** argv) {
  if (answeredHelp(argc, argv, kUsage)) return 0;
  std::vector<long> sizes;
  for (int i = 1; i < argc; ++i) sizes.push_back(std::atol(argv[i]));
  if (sizes.empty()) sizes = {1, 4, 8, 16, 50};
  const std::string tool = QUENNET_TOOL;
  char folder[] = "/tmp/monitor_bench_XXXXXX";
  if (!mkdtemp(folder)) {
    std::perror("mkdtemp");
    return 1;
  }
  std::printf("%-8s %-10s %10s %12s %14s\n", "MB", "mode", "seconds", "s per MB", "peak RSS MiB");
  int failures = 0;
  for (const long mb : sizes) {
    const std::string path = std::string(folder) + "/random.bin";
    if (!writeRandom(path, mb)) {
      std::perror("write");
      return 1;
    }
    for (const bool crc : {false, true}) {
      std::vector<std::string> command{tool, "monitor", "--input", path};
      if (!crc) command.push_back("--checksum8");
      const SpawnedRun run = spawnedRun(command);
      if (run.seconds < 0) ++failures;
      std::printf("%-8ld %-10s %10.2f %12.3f %14.1f\n", mb, crc ? "crc" : "checksum8", run.seconds,
                  run.seconds / static_cast<double>(mb), static_cast<double>(run.peakKiB) / 1024.0);
      std::fflush(stdout);
    }
    unlink(path.c_str());
  }
  rmdir(folder);
  return failures == 0 ? 0 : 1;
}
