#!/usr/bin/env bash
# Builds varn-bench into build-bench/, starts throwaway PostgreSQL and
# MariaDB servers on loopback (tests/servers/dbservers.sh, as root), runs the
# benchmark on SQLite, PostgreSQL and MariaDB and prints its tables. Without
# root, or with --sqlite-only, only SQLite is measured. A source that fails
# is marked in the tables with its reason, and the others are still
# measured and printed; the exit status is then 1. With --reference REV,
# the varn-bench of that git revision is built into build-bench-ref/ and
# its service's row 1 runs beside this build's, to compare CPU time per
# statement. Anything after "--" goes to varn-bench (bench/README.md lists
# its options).
set -euo pipefail
cd "$(dirname "$0")/.."

servers=yes
reference=""
bench_args=()
while [ $# -gt 0 ]; do
  case $1 in
    --sqlite-only) servers=no ;;
    --reference) shift; reference=${1:?--reference needs a git revision} ;;
    --) shift; bench_args=("$@"); break ;;
    *) echo "usage: $0 [--sqlite-only] [--reference REV] [-- varn-bench options]" >&2; exit 2 ;;
  esac
  shift
done
if [ "$servers" = yes ] && [ "$(id -u)" -ne 0 ]; then
  echo "bench.sh: not root, so no database servers: SQLite only" >&2
  servers=no
fi

scripts/install-deps.sh g++ cmake make pkg-config unixodbc-dev unixodbc odbcinst libsqliteodbc sqlite3
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVARN_BUILD_TESTS=OFF -DVARN_BUILD_BENCH=ON >/dev/null
cmake --build build-bench -j"$(nproc)" --target varn-bench >/dev/null
if [ -n "$reference" ]; then
  rm -rf build-bench-ref && mkdir -p build-bench-ref/src
  git archive "$reference" | tar -x -C build-bench-ref/src
  cmake -S build-bench-ref/src -B build-bench-ref/build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVARN_BUILD_TESTS=OFF \
    -DVARN_BUILD_BENCH=ON >/dev/null
  cmake --build build-bench-ref/build -j"$(nproc)" --target varn-bench >/dev/null
  bench_args=(--reference "$PWD/build-bench-ref/build/bench/varn-bench" "${bench_args[@]}")
fi

servers_dir=""
cleanup() {
  if [ -n "$servers_dir" ]; then
    tests/servers/dbservers.sh stop "$servers_dir" || echo "bench.sh: stopping the servers failed" >&2
    rm -rf -- "$servers_dir"
  fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# The servers' ports are picked free, but on a shared machine another
# program can take one before a server binds it: up to three tries, each in
# a fresh folder (a failed start leaves nothing running).
odbc_args=()
for attempt in 1 2 3; do
  [ "$servers" = yes ] || break
  servers_dir=$(mktemp -d /tmp/varn-bench-servers.XXXXXX)
  if tests/servers/dbservers.sh start "$servers_dir"; then
    # shellcheck disable=SC1091
    user=$(. "$servers_dir/env.sh" && printf '%s' "$VARN_DB_USER")
    # shellcheck disable=SC1091
    password=$(. "$servers_dir/env.sh" && printf '%s' "$VARN_DB_PASSWORD")
    odbc_args=(--odbc-dir "$servers_dir" --user "$user" --password "$password")
    break
  fi
  rm -rf -- "$servers_dir"
  servers_dir=""
  echo "bench.sh: the database servers did not start (try $attempt of 3)" >&2
done
if [ "$servers" = yes ] && [ ${#odbc_args[@]} -eq 0 ]; then
  echo "bench.sh: SQLite only" >&2
fi

build-bench/bench/varn-bench "${odbc_args[@]}" "${bench_args[@]}"
