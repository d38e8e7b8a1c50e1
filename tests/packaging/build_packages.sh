#!/usr/bin/env bash
# Builds the Debian package as the README tells (scripts/package.sh) into a
# fresh folder, plus a copy with a higher version to upgrade to, and names
# them package.deb and upgrade.deb there for the tests that follow.
# Usage: build_packages.sh SOURCE-DIR OUT-DIR VERSION
set -euo pipefail

source_dir=$1
out=$2
version=$3

rm -rf "$out"
mkdir -p "$out"
"$source_dir/scripts/package.sh" "$out/build" >"$out/package.log" 2>&1 || {
  cat "$out/package.log"
  exit 1
}
debs=("$out"/build/varn-odbc_*.deb)
if [ ${#debs[@]} -ne 1 ] || [ ! -f "${debs[0]}" ]; then
  echo "FAIL: scripts/package.sh made ${#debs[@]} packages: ${debs[*]}"
  exit 1
fi
cp "${debs[0]}" "$out/package.deb"

(cd "$out/build" && cpack -G DEB -B "$out/upgrade" -D CPACK_PACKAGE_VERSION="$version+upgrade") >/dev/null 2>&1
cp "$out"/upgrade/varn-odbc_*.deb "$out/upgrade.deb"
echo "built $(basename "${debs[0]}") and $(dpkg-deb -f "$out/upgrade.deb" Version)"
