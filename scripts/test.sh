#!/usr/bin/env bash
# Installs what the tests need, builds, and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."

# The packaging tests: systemd-analyze, the package tools, the manual page
# renderers, and ip for the install test's private network.
scripts/install-deps.sh systemd dpkg-dev man-db groff-base mandoc iproute2 adduser
scripts/build.sh build
cd build
ctest --output-on-failure -j"$(nproc)" --timeout 300
