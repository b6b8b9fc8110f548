#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan+UBSan) and runs each for a short while on a copy
# of its seed corpus. Usage: scripts/fuzz.sh [SECONDS]   (default 60 per target)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
if [ "$(id -u)" -eq 0 ]; then
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends clang libclang-rt-dev
fi
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQUENNET_FUZZ=ON -DQUENNET_BUILD_TESTS=OFF -DQUENNET_BUILD_BENCH=OFF -DQUENNET_BUILD_TOLVAR=OFF
targets=$(ls fuzz/*_fuzz.cpp | xargs -n1 basename | sed 's/\.cpp$//')
cmake --build build-fuzz --target $targets
export ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1
for t in $targets; do
  corpus="build-fuzz/corpus/${t%_fuzz}"
  mkdir -p "$corpus"
  cp -n fuzz/corpus/"${t%_fuzz}"/* "$corpus"/ 2>/dev/null || true
  echo "== $t for ${seconds}s"
  ./build-fuzz/bin/"$t" -max_total_time="$seconds" -rss_limit_mb=4096 -print_final_stats=1 \
    "$corpus" 2>&1 | grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb|==|SUMMARY)|Done'
done
