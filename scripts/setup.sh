#!/usr/bin/env bash
# Installs what the build and the tests need on Debian 12 (run as root), then configures and
# builds into ./build. Safe to run again. Warnings are errors under CI (CI=true) or with
# QUENNET_WERROR=ON in the environment; a user's newer compiler is not stopped by a new warning.
set -euo pipefail
cd "$(dirname "$0")/.."

# quennetd: Qt SQL's SQLite driver (the journal), libmosquitto (MQTT), libsystemd (notify);
# its tests start their own mosquitto (openssl makes their TLS certificates) and check its
# messages against their JSON Schemas, its access list and its consumer example in Python.
packages=(g++ cmake ninja-build qt6-base-dev qt6-serialport-dev libgl1-mesa-dev
          googletest libgtest-dev xvfb xauth clang-format help2man man-db doxygen pkg-config
          libqt6sql6-sqlite libmosquitto-dev libsystemd-dev mosquitto mosquitto-clients
          openssl python3 python3-jsonschema python3-paho-mqtt python3-pytest)
if [ "$(id -u)" -eq 0 ]; then
  apt-get update
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${packages[@]}"
else
  echo "setup: not root, skipping package installation" >&2
fi

werror="${QUENNET_WERROR:-$([ "${CI:-}" = true ] && echo ON || echo OFF)}"
# Optimised as a release is, with line tables only (-g1): a backtrace names each frame's file and
# line, and the build takes about a third less time than with full debug information.
optimised="-O2 -g1 -DNDEBUG"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUENNET_WERROR="$werror" \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="$optimised" -DCMAKE_C_FLAGS_RELWITHDEBINFO="$optimised"
cmake --build build
