#!/usr/bin/env bash
# Checks the built Debian package with dpkg-deb: exactly the expected files
# with the expected owners and modes, dependencies that name real Debian
# packages (the unixODBC driver manager among them), the SQLite ODBC driver
# recommended, the settings file a conffile, and the maintainer scripts
# present and executable.
# Usage: check_deb.sh PACKAGE.deb
set -euo pipefail

deb=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

field() {
  dpkg-deb -f "$deb" "$1"
}

[ "$(field Package)" = varn-odbc ] || fail "Package is '$(field Package)'"
[ "$(field Architecture)" = "$(dpkg --print-architecture)" ] || fail "Architecture is '$(field Architecture)'"

# Files (not folders): mode, owner and path, exactly these and no more.
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $1, $2, $6 }' | sort >"$work/files"
sort >"$work/expected" <<'LIST'
-rw-r----- root/root ./etc/varn-odbc/settings.reg
-rw-r--r-- root/root ./usr/lib/systemd/system/varn-odbc.service
-rwxr-xr-x root/root ./usr/sbin/varn-odbc
-rw-r--r-- root/root ./usr/share/doc/varn-odbc/README.md
-rw-r--r-- root/root ./usr/share/man/man8/varn-odbc.8.gz
LIST
if ! diff -u "$work/expected" "$work/files" >"$work/files.diff"; then
  fail "file list differs from the expected one:"
  cat "$work/files.diff"
fi
dpkg-deb -c "$deb" | awk '$2 != "root/root" { print }' >"$work/not-root"
[ -s "$work/not-root" ] && fail "entries not owned by root: $(cat "$work/not-root")"

# Dependencies: the driver manager, the user tools, and only names Debian
# knows (apt-cache answers for every one of them).
depends=$(field Depends)
recommends=$(field Recommends)
echo "Depends: $depends"
echo "Recommends: $recommends"
for needed in libodbc2 adduser odbcinst; do
  printf '%s\n' "$depends" | tr ',' '\n' | grep -qE "^ *$needed( |$)" || fail "Depends lacks $needed"
done
printf '%s\n' "$recommends" | tr ',' '\n' | grep -qE '^ *libsqliteodbc( |$)' || fail "Recommends lacks libsqliteodbc"
names=$(printf '%s,%s\n' "$depends" "$recommends" | tr ',|' '\n\n' | sed -e 's/(.*)//' -e 's/ //g' | sort -u)
# One look-up for all of them (apt-cache succeeds when any one is found).
known=$(apt-cache show $names 2>/dev/null | sed -n 's/^Package: //p' | sort -u)
for name in $(comm -23 <(printf '%s\n' $names) <(printf '%s\n' $known)); do
  fail "no Debian package is called '$name'"
done

# The control archive: conffiles and maintainer scripts.
mkdir "$work/control"
dpkg-deb -e "$deb" "$work/control"
if [ "$(cat "$work/control/conffiles" 2>/dev/null)" != "/etc/varn-odbc/settings.reg" ]; then
  fail "conffiles is not just /etc/varn-odbc/settings.reg: '$(cat "$work/control/conffiles" 2>/dev/null)'"
fi
for script in postinst prerm postrm; do
  if [ ! -x "$work/control/$script" ]; then
    fail "no executable $script"
  elif ! sh -n "$work/control/$script"; then
    fail "$script is not valid sh"
  fi
done

# The binary carries the path it reads its settings from.
dpkg-deb -x "$deb" "$work/root"
grep -qaF /etc/varn-odbc/settings.reg "$work/root/usr/sbin/varn-odbc" ||
  fail "the binary does not name /etc/varn-odbc/settings.reg"
grep -qx 'ExecStart=/usr/sbin/varn-odbc' "$work/root/usr/lib/systemd/system/varn-odbc.service" ||
  fail "the unit does not start /usr/sbin/varn-odbc"

if [ $failures -ne 0 ]; then
  exit 1
fi
echo "ok: $(wc -l <"$work/files") files, dependencies and conffiles as expected"
