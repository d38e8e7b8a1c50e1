#!/usr/bin/env bash
# Builds the libFuzzer targets with clang into build-fuzz/ and runs them,
# twice the given number of seconds (default 60) in all, from the seeds in
# fuzz/corpus: the reader's and the screen's targets for three quarters of
# it each, the settings reader's, the smallest, for half,
# with a target's dictionary fuzz/TARGET.dict where there is one.
# Any crash, hang, sanitizer report or broken property fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
scripts/install-deps.sh clang libclang-rt-14-dev cmake make unixodbc-dev unixodbc odbcinst libsqlite3-dev
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DVARN_FUZZ=ON -DVARN_BUILD_TESTS=OFF -DVARN_BUILD_BENCH=OFF >/dev/null
cmake --build build-fuzz -j"$(nproc)" --target reader_fuzz settings_fuzz screen_fuzz

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for target in reader settings screen; do
  time=$((seconds * 3 / 4))
  [ "$target" = settings ] && time=$((seconds / 2))
  # New inputs go to a scratch copy, so the seeds in the repository stay small.
  cp -r "fuzz/corpus/$target" "$work/$target"
  echo "fuzzing $target for ${time}s"
  dict=()
  [ -f "fuzz/$target.dict" ] && dict=(-dict="fuzz/$target.dict")
  [ "$target" = screen ] && dict=(-dict=fuzz/reader.dict)
  build-fuzz/fuzz/${target}_fuzz -max_total_time="$time" -timeout=10 -max_len=4096 "${dict[@]}" \
    -artifact_prefix="$work/" -print_final_stats=1 "$work/$target" 2>"$work/$target.log" || {
    tail -n 40 "$work/$target.log"
    for crash in "$work"/crash-* "$work"/timeout-* "$work"/leak-*; do
      [ -e "$crash" ] && { echo "input: $crash"; od -c "$crash" | head -n 20; }
    done
    exit 1
  }
  grep -E "stat::number_of_executed_units|Done" "$work/$target.log" | tail -n 2
done
