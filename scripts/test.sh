#!/usr/bin/env bash
# Installs what the tests need, builds, and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/build.sh build
cd build
ctest --output-on-failure -j"$(nproc)" --timeout 300
