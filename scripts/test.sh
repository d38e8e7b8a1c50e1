#!/usr/bin/env bash
# Installs what the tests need, builds, and runs every test: the native
# build's, then the end-to-end tests once more against the Windows build
# (cross-compiled into build-win/) under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/build.sh build -DVARN_WINDOWS_EXE="$PWD/build-win/varn-odbc.exe"
(cd build && ctest --output-on-failure -j"$(nproc)" --timeout 300 -LE wine)

scripts/build-windows.sh build-win
scripts/install-deps.sh wine64 wine
cd build
# One at a time in any case: the wine tests share one prefix and registry.
ctest --output-on-failure --timeout 300 -L wine
