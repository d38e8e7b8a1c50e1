#!/usr/bin/env bash
# Builds the Windows installer, varn-odbc-<version>-x64.msi, into build-win/
# (or the folder given as the first argument): the Windows build first
# (scripts/build-windows.sh), then the package from packaging/varn-odbc.wxs
# with wixl, which is installed when missing. Further arguments go to cmake.
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=${1:-build-win}
shift || true
scripts/install-deps.sh wixl
scripts/build-windows.sh "$build_dir" "$@"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build_dir/CMakeCache.txt")
msi=$build_dir/varn-odbc-$version-x64.msi
# wixl 0.101 finds a source file only by a path relative to where it runs.
wixl -a x64 -D Version="$version" -D Exe="$(realpath --relative-to=. "$build_dir/varn-odbc.exe")" \
  -D ExampleSettings=packaging/settings-windows.reg -o "$msi" packaging/varn-odbc.wxs
echo "Built $msi"
