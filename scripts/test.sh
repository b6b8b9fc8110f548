#!/usr/bin/env bash
# Runs the whole test suite of the build made by setup.sh (widget tests on the offscreen platform).
set -euo pipefail
cd "$(dirname "$0")/.."
export QT_QPA_PLATFORM=offscreen
ctest --test-dir build --output-on-failure -j2 "$@"
