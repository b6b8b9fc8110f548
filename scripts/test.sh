#!/usr/bin/env bash
# Runs the whole test suite of the build made by setup.sh (widget tests on the offscreen platform).
# Nearly every test waits (on a pseudo-terminal, a broker, a reply's time-out) rather than
# computes: the tests take under a minute of CPU between them against some 13 minutes of waiting,
# so three run at once for each core. More than that starves the tests that time a device's
# replies when the machine is busy with something else too. QUENNET_TEST_JOBS sets another number.
set -euo pipefail
cd "$(dirname "$0")/.."
export QT_QPA_PLATFORM=offscreen
jobs="${QUENNET_TEST_JOBS:-$((3 * $(nproc)))}"
ctest --test-dir build --output-on-failure -j"$jobs" "$@"
