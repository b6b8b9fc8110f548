#pragma once
// Runs a program as a fresh process, its output to /dev/null, and measures it from spawn to exit.

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>

#include <string>
#include <vector>

extern char** environ;

struct SpawnedRun {
  double seconds = -1;  // negative when the program could not start or did not exit 0
  long peakKiB = 0;     // the child's own peak resident set
};

inline SpawnedRun spawnedRun(const std::vector<std::string>& command) {
  const auto now = [] {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
  };
  std::vector<char*> argv;
  for (const std::string& word : command) argv.push_back(const_cast<char*>(word.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  SpawnedRun run;
  const double start = now();
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return run;
  int status = 0;
  rusage usage{};
  if (wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    return run;
  }
  run.seconds = now() - start;
  run.peakKiB = usage.ru_maxrss;
  return run;
}
