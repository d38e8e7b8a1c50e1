#!/usr/bin/env bash
# Cross-compiles the Windows build, varn-odbc.exe, with MinGW-w64 into
# build-win/ (or the folder given as the first argument), installing the
# cross-compiler first when it is missing. Further arguments go to cmake.
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=${1:-build-win}
shift || true
scripts/install-deps.sh cmake make g++-mingw-w64-x86-64-posix
cmake -S . -B "$build_dir" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build "$build_dir" -j"$(nproc)"
echo "Built $build_dir/varn-odbc.exe"
