#!/usr/bin/env bash
# Installs what the tests need, then builds and runs every test: the whole
# suite (unit, database, end to end, fault driver, and the end-to-end cases
# against throwaway PostgreSQL and MariaDB servers), the same suite built
# with AddressSanitizer and UndefinedBehaviorSanitizer, and a bounded run of
# each fuzz target.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh postgresql mariadb-server mariadb-client odbc-postgresql odbc-mariadb \
  iproute2 procps

echo "== build and test"
scripts/build.sh build
(cd build && ctest --output-on-failure -j"$(nproc)" --timeout 900)

echo "== build and test with AddressSanitizer and UndefinedBehaviorSanitizer"
scripts/build.sh build-asan -DVARN_SANITIZE=ON
(cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --output-on-failure -j"$(nproc)" --timeout 900)

echo "== fuzz"
scripts/fuzz.sh "${VARN_FUZZ_SECONDS:-60}"
