#!/usr/bin/env bash
# Builds the Debian package as docs/linux-service.md tells
# (scripts/package.sh), plus a copy with a higher version to upgrade to, as
# OUT-DIR/package.deb and upgrade.deb, and checks its files, owners, modes
# and dependencies.
# Usage: build_packages.sh SOURCE-DIR OUT-DIR VERSION
set -euo pipefail

source_dir=$1 out=$2 version=$3
rm -rf "$out"
mkdir -p "$out"
"$source_dir/scripts/package.sh" "$out/build" >"$out/package.log" 2>&1 || { cat "$out/package.log"; exit 1; }
cp "$out"/build/varn-odbc_*.deb "$out/package.deb"
(cd "$out/build" && cpack -G DEB -B "$out/upgrade" -D CPACK_PACKAGE_VERSION="$version+upgrade") >/dev/null 2>&1
cp "$out"/upgrade/varn-odbc_*.deb "$out/upgrade.deb"

# Exactly these files, owned by root, with these modes, sorted byte by byte
# whatever the locale.
files=$(dpkg-deb -c "$out/package.deb" | awk '$1 !~ /^d/ { print $1, $2, $6 }' | LC_ALL=C sort)
expected='-rw-r----- root/root ./etc/varn-odbc/settings.reg
-rw-r--r-- root/root ./usr/lib/systemd/system/varn-odbc.service
-rw-r--r-- root/root ./usr/share/doc/varn-odbc/README.md
-rw-r--r-- root/root ./usr/share/doc/varn-odbc/docs/linux-service.md
-rw-r--r-- root/root ./usr/share/doc/varn-odbc/docs/operating.md
-rw-r--r-- root/root ./usr/share/doc/varn-odbc/docs/statement-syntax.md
-rw-r--r-- root/root ./usr/share/doc/varn-odbc/docs/testing.md
-rw-r--r-- root/root ./usr/share/doc/varn-odbc/docs/windows.md
-rw-r--r-- root/root ./usr/share/man/man8/varn-odbc.8.gz
-rwxr-xr-x root/root ./usr/sbin/varn-odbc'
[ "$files" = "$expected" ] || { echo "FAIL: files differ:"; diff <(echo "$expected") <(echo "$files"); exit 1; }
# The driver manager and the user tools, and only names Debian knows.
depends=$(dpkg-deb -f "$out/package.deb" Depends)
recommends=$(dpkg-deb -f "$out/package.deb" Recommends)
for needed in libodbc2 adduser odbcinst; do
  grep -qE "(^|, )$needed( |,|$)" <<<"$depends" || { echo "FAIL: Depends lacks $needed: $depends"; exit 1; }
done
grep -qE "(^|, )libsqliteodbc( |,|$)" <<<"$recommends" || { echo "FAIL: Recommends lacks libsqliteodbc"; exit 1; }
for name in $(tr ',|' '\n\n' <<<"$depends, $recommends" | sed -e 's/(.*)//' -e 's/ //g' | sort -u); do
  apt-cache show "$name" >/dev/null 2>&1 || { echo "FAIL: no Debian package is called '$name'"; exit 1; }
done
echo "built $(dpkg-deb -f "$out/package.deb" Version) and $(dpkg-deb -f "$out/upgrade.deb" Version); Depends: $depends"
