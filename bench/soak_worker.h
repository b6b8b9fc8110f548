#pragma once
// The fault soak's work, run in a child process so that a crash is seen and counted by the
// parent: every method of the dispatch table against the virtual validator over a real
// pseudo-terminal, through Tolvar's own control, with faults injected at random.

#include <cstdint>

namespace soak {

struct SoakOptions {
  int seconds = 35;
  std::uint32_t seed = 1;
};

// Prints the report's rows; 0 when every fault was classified right and nothing hung.
int runWorker(const SoakOptions& options);

}  // namespace soak
