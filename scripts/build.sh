#!/usr/bin/env bash
# Installs the build's packages and builds the service and its tests into
# build/ (or the folder given as the first argument).
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=${1:-build}
shift || true
scripts/install-deps.sh g++ cmake make pkg-config libgtest-dev unixodbc-dev unixodbc odbcinst \
  libsqliteodbc sqlite3 libsqlite3-dev
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build "$build_dir" -j"$(nproc)"
