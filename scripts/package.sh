#!/usr/bin/env bash
# Builds the Release configuration into ./build-release (installed under /usr) and makes the
# Debian packages there: libquennet1 (the core library), libquennet-widgets1, libquennet-dev,
# quennet (the tool and bnvsim), tolvar, quennetd and python3-quennet. Tests and benchmarks are left
# out of this build. QUENNET_WERROR=ON in the environment makes warnings errors.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DQUENNET_BUILD_TESTS=OFF -DQUENNET_BUILD_BENCH=OFF \
  ${QUENNET_WERROR:+-DQUENNET_WERROR=$QUENNET_WERROR}
cmake --build build-release
rm -f build-release/*.deb
(cd build-release && cpack -G DEB)
ls build-release/*.deb
