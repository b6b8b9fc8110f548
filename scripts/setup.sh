#!/usr/bin/env bash
# Installs what the build and the tests need on Debian 12 (run as root), then configures and
# builds into ./build. Safe to run again. QUENNET_WERROR=ON in the environment makes warnings
# errors (CI does; a user's newer compiler is not stopped by a new warning).
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(g++ cmake ninja-build qt6-base-dev qt6-serialport-dev libgl1-mesa-dev
          googletest libgtest-dev xvfb xauth clang-format)
if [ "$(id -u)" -eq 0 ]; then
  apt-get update
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${packages[@]}"
else
  echo "setup: not root, skipping package installation" >&2
fi

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  ${QUENNET_WERROR:+-DQUENNET_WERROR=$QUENNET_WERROR}
cmake --build build
