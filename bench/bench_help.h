#pragma once
// Every benchmark answers --help (or -h) with what it measures and the arguments it takes.

#include <cstdio>
#include <cstring>

inline bool answeredHelp(int argc, char** argv, const char* usage) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::fputs(usage, stdout);
      return true;
    }
  }
  return false;
}
