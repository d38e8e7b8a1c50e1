#!/usr/bin/env bash
# Builds the Debian package (varn-odbc_<version>-1_<arch>.deb) into build-deb/
# or the folder given as the first argument; further arguments go to cmake.
# The package installs under /usr and reads /etc/varn-odbc/settings.reg.
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=${1:-build-deb}
shift || true
scripts/install-deps.sh g++ cmake make pkg-config unixodbc-dev dpkg-dev
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
  -DVARN_BUILD_TESTS=OFF -DVARN_BUILD_BENCH=OFF "$@" >/dev/null
cmake --build "$build_dir" -j"$(nproc)"
(cd "$build_dir" && cpack -G DEB >/dev/null)
ls "$build_dir"/varn-odbc_*.deb
