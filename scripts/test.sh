#!/usr/bin/env bash
# Installs what the tests need, then builds and runs every test: the whole
# suite (unit, database, end to end, packaging, the benchmark's smoke run,
# and the end-to-end cases against throwaway PostgreSQL and MariaDB
# servers); the end-to-end cases once more against the Windows build
# (cross-compiled into build-win/) under Wine, and its installer and
# service; the suite built with AddressSanitizer and
# UndefinedBehaviorSanitizer; and a bounded run of each fuzz target.
set -euo pipefail
cd "$(dirname "$0")/.."

# The servers for the server-backed tests; for the packaging tests
# systemd-analyze, the package tools, the manual page renderers, and ip for
# the install test's private network; a Prometheus text parser and
# node_exporter for the metrics file; HAProxy in front of the service.
scripts/install-deps.sh postgresql mariadb-server mariadb-client odbc-postgresql odbc-mariadb \
  iproute2 procps systemd dpkg-dev man-db groff-base mandoc adduser python3 python3-prometheus-client \
  prometheus-node-exporter haproxy

echo "== build and test"
scripts/build.sh build -DVARN_WINDOWS_EXE="$PWD/build-win/varn-odbc.exe"
(cd build && ctest --output-on-failure -j"$(nproc)" --timeout 900 -LE wine)

echo "== the Windows build and its installer under Wine"
scripts/package-windows.sh build-win
scripts/install-deps.sh wine64 wine socat
# One at a time in any case: the wine tests share one prefix and registry
# (wine.msi makes a prefix of its own).
(cd build && ctest --output-on-failure --timeout 300 -L wine)

# The package and the benchmark are built apart from this build, so their
# tests would only repeat the first run.
echo "== build and test with AddressSanitizer and UndefinedBehaviorSanitizer"
scripts/build.sh build-asan -DVARN_SANITIZE=ON
(cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --output-on-failure -j"$(nproc)" --timeout 900 -LE 'packaging|bench')

echo "== fuzz"
scripts/fuzz.sh "${VARN_FUZZ_SECONDS:-45}"
