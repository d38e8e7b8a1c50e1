#!/usr/bin/env bash
# Installs the Debian package with the real dpkg into a throwaway copy of this
# machine's /etc, /usr and /var (overlays in a private mount namespace, so the
# host's files never change), then checks what the maintainer scripts did,
# runs the installed binary the way its unit runs it against its real
# settings path, and goes through an upgrade, a removal and a purge.
# Usage: install_test.sh PACKAGE.deb UPGRADE.deb SQLITE-ODBC-DRIVER
set -euo pipefail

if [ -z "${VARN_NAMESPACE_DIR:-}" ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "SKIP: mount namespaces need root"
    exit 77
  fi
  if ! unshare --mount --net --pid --fork true 2>/dev/null; then
    echo "SKIP: this machine does not allow unshare --mount --net --pid"
    exit 77
  fi
  outer=$(mktemp -d)
  trap 'rm -rf "$outer"' EXIT
  # A private network namespace holds only its own loopback, so the
  # service's default port 23 is free and no packet can leave the machine.
  # When the test ends, the namespace ends with every process left in it.
  set +e
  VARN_NAMESPACE_DIR=$outer unshare --mount --net --pid --fork --mount-proc --propagation private \
    "$0" "$@"
  status=$?
  exit $status
fi

deb=$1
upgrade_deb=$2
sqlite_driver=$3
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
export DEBIAN_FRONTEND=noninteractive
failures=0
trap 'echo "FAIL: line $LINENO: \"$BASH_COMMAND\" ended with status $?"' ERR

fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
expect_equal() { [ "$2" = "$3" ] && echo "ok: $1: $3" || fail "$1: expected '$2', got '$3'"; }

# Everything this test writes lives in a tmpfs that vanishes with the
# namespace.
work=$VARN_NAMESPACE_DIR
mount -t tmpfs -o mode=0755 varn-package-test "$work"
for dir in etc usr var; do
  mkdir -p "$work/upper/$dir" "$work/overlay-work/$dir"
  mount -t overlay overlay -o "lowerdir=/$dir,upperdir=$work/upper/$dir,workdir=$work/overlay-work/$dir" "/$dir"
done
ip link set lo up

# Rebuilding the whole manual page index would cost more than the test.
rm -f /var/lib/man-db/auto-update
# Stands in for systemctl of a running systemd, noting each call, so the
# maintainer scripts' decisions about the service can be checked.
mkdir "$work/fakebin"
# A try-restart also runs "$work/restart-hook" when there is one.
cat >"$work/fakebin/systemctl" <<SH
#!/bin/sh
echo "\$*" >>"$work/systemctl.log"
case " \$* " in *" try-restart "*) [ ! -x "$work/restart-hook" ] || "$work/restart-hook" ;; esac
exit 0
SH
chmod 0755 "$work/fakebin/systemctl"
: >"$work/systemctl.log"

run_dpkg() { PATH="$work/fakebin:$PATH" dpkg "$@" </dev/null >"$work/dpkg.out" 2>&1 || fail "dpkg $*: $(cat "$work/dpkg.out")"; }

# The calls that change whether the service runs, in order, one a line;
# reloads and queries are left out.
service_actions() {
  grep -E '^(start|stop|restart|try-restart|reload-or-restart) ' "$work/systemctl.log" | paste -sd'|' -
}

package_status() { dpkg-query -W -f='${Status} ${Version}' varn-odbc 2>/dev/null || true; }
mode_of() { stat -c '%a %U %G' "$1" 2>/dev/null || echo missing; }
wait_for_line() { # FILE TEXT SECONDS
  for _ in $(seq $(($3 * 10))); do grep -qF -- "$2" "$1" 2>/dev/null && return 0; sleep 0.1; done
  return 1
}

settings=/etc/varn-odbc/settings.reg
unit=/usr/lib/systemd/system/varn-odbc.service
state=/var/lib/varn-odbc

echo "== fresh install, systemd not running"
run_dpkg -i "$deb"
expect_equal "package status" "install ok installed $(dpkg-deb -f "$deb" Version)" "$(package_status)"
expect_equal "systemctl calls without systemd" "" "$(cat "$work/systemctl.log")"

IFS=: read -r _ _ uid gid _ home shell <<<"$(getent passwd varn-odbc || echo 'x:x:-1:-1:x::')"
[ "$uid" -ge 100 ] && [ "$uid" -lt 1000 ] || fail "varn-odbc is not a system user (uid '$uid')"
expect_equal "primary group of varn-odbc" "varn-odbc" "$(getent group "$gid" | cut -d: -f1)"
expect_equal "home and shell of varn-odbc" "/nonexistent /usr/sbin/nologin" "$home $shell"
expect_equal "settings file mode" "640 root varn-odbc" "$(mode_of "$settings")"
expect_equal "state folder mode" "750 varn-odbc varn-odbc" "$(mode_of "$state")"
expect_equal "conffiles" "$settings" "$(dpkg-query -W -f='${Conffiles}' varn-odbc | awk 'NF { print $1 }')"
if setpriv --reuid=nobody --regid=nogroup --clear-groups cat "$settings" >/dev/null 2>&1; then
  fail "another user can read the settings file"
fi
setpriv --reuid=varn-odbc --regid=varn-odbc --init-groups cat "$settings" >/dev/null ||
  fail "the service user cannot read the settings file"

# The installed unit, its program and its manual page all in place, and the
# unit's confinement at its hardened level (systemd scores it 0, locked
# down, to 100; the shipped unit scores 16).
if ! systemd-analyze verify "$unit" >"$work/verify" 2>&1 || [ -s "$work/verify" ]; then
  fail "systemd-analyze verify on the installed unit: $(cat "$work/verify")"
fi
systemd-analyze security --offline=yes --threshold=25 --no-pager "$unit" >"$work/security" 2>&1 ||
  fail "exposure above 25: $(grep -E 'Overall' "$work/security")"

echo "== a data source registered as docs/linux-service.md shows"
odbc=$work/odbc
mkdir -m 0755 "$odbc"
printf '[SQLite3]\nDescription=SQLite3 ODBC Driver\nDriver=%s\n' "$sqlite_driver" >"$odbc/odbcinst.ini"
printf '[varn-odbc]\nDriver=SQLite3\nDatabase=%s/notes.db\n' "$state" >"$odbc/template.ini"
# As /etc/odbc.ini does on a real system (package unixodbc-common).
: >"$odbc/odbc.ini"
export ODBCSYSINI=$odbc ODBCINI=$odbc/odbc.ini
odbcinst -i -s -l -f "$odbc/template.ini" >/dev/null
expect_equal "data sources" "[varn-odbc]" "$(odbcinst -q -s)"
chmod 0644 "$odbc"/*.ini

# The service as its unit starts it: the unit's user, group, capabilities
# and program, read from the installed unit itself.
unit_value() { sed -n "s/^$1=//p" "$unit" | tail -n 1; }
service_user=$(unit_value User)
service_group=$(unit_value Group)
exec_start=$(unit_value ExecStart)
ambient=$(unit_value AmbientCapabilities | tr 'A-Z ' 'a-z\n' | sed -n 's/^cap_\(.*\)/+\1/p' | paste -sd, -)
no_new_privs=()
[ "$(unit_value NoNewPrivileges)" = yes ] && no_new_privs=(--no-new-privs)
echo "unit: User=$service_user Group=$service_group ExecStart=$exec_start ambient=$ambient"

service_pid=
start_service() { # LOG [--without-capabilities]
  local caps=()
  if [ "${2:-}" != --without-capabilities ] && [ -n "$ambient" ]; then
    caps=(--inh-caps="$ambient" --ambient-caps="$ambient")
  fi
  # Emptied here, before the service starts, so that no wait reads an
  # earlier run's lines.
  : >"$1"
  (umask 0027 && exec env HOME=/nonexistent setpriv --reuid="$service_user" --regid="$service_group" \
    --init-groups "${caps[@]}" "${no_new_privs[@]}" -- $exec_start) >>"$1" 2>&1 &
  service_pid=$!
}

stop_service() {
  [ -z "$service_pid" ] || { kill "$service_pid" 2>/dev/null; wait "$service_pid" 2>/dev/null; service_pid=; } || true
}

# One connection: the text, then the client's close.
send_statements() { printf '%s' "$2" 3<>"/dev/tcp/127.0.0.1/$1" >&3 || fail "could not send to port $1"; }

echo "== the installed service with the installed settings"
log=$work/service.log
start_service "$log"
if wait_for_line "$log" "Listening on TCP port" 10; then
  # The filter line follows the listening line at once.
  wait_for_line "$log" "Allowed " 2 || true
  expect_equal "start-up lines" "Halvorin VARN ODBC Query Service 19May04|Listening on TCP port 23|Allowed host 127.0.0.1" \
    "$(head -n 3 "$log" | paste -sd'|' -)"
  send_statements 23 "CREATE TABLE notes(id INTEGER, body TEXT);"$'\r\n'"INSERT INTO notes VALUES(1, 'installed; and running');"$'\r\n'
  wait_for_line "$log" "Peer closed connection." 10 || fail "no 'Peer closed connection.' line"
  expect_equal "row written through the installed service" "1|installed; and running" \
    "$(sqlite3 "$state/notes.db" 'SELECT * FROM notes;' 2>&1)"
  expect_equal "database owner" "varn-odbc" "$(stat -c %U "$state/notes.db" 2>&1)"
  expect_equal "the spool the packaged settings turn on" "varn-odbc 600" "$(stat -c '%U %a' "$state/spool" 2>&1)"
  grep -q '^ERROR' "$log" && fail "the service reported a database failure"
else
  fail "the installed service did not start listening"
fi
stop_service
echo "--- its console:"
cat "$log"
echo "---"

echo "== without the unit's capability port 23 stays closed to it"
start_service "$work/nocap.log" --without-capabilities
bound_status=0
for _ in $(seq 50); do
  kill -0 "$service_pid" 2>/dev/null || break
  sleep 0.1
done
if kill -0 "$service_pid" 2>/dev/null; then
  fail "the service runs without CAP_NET_BIND_SERVICE"
  stop_service
else
  wait "$service_pid" || bound_status=$?
  service_pid=
  expect_equal "exit status without the capability" 1 "$bound_status"
  expect_equal "console without the capability" "bind(23) failed Permission denied" "$(sed -n 2p "$work/nocap.log")"
fi

echo "== an operator's edits survive an upgrade"
sed -e 's/^"Allow IP"="127.0.0.1"$/"Allow IP"="127.0.0.0"/' \
  -e 's/^;"Allow Mask"=.*/"Allow Mask"="255.0.0.0"/' \
  -e 's/^;"TCP Port"=.*/"TCP Port"=dword:00000913/' "$settings" >"$work/edited.reg"
# Written in place, as an editor that keeps the file would.
cat "$work/edited.reg" >"$settings"
expect_equal "edited values" 3 "$(grep -cE '^"(Allow IP"="127.0.0.0|Allow Mask"="255.0.0.0|TCP Port"=dword:00000913)' "$settings")"
systemctl --root=/ enable varn-odbc.service >/dev/null 2>&1 || fail "systemctl --root=/ enable failed"
wants=/etc/systemd/system/multi-user.target.wants/varn-odbc.service
[ -L "$wants" ] || fail "enabling made no link $wants"

# From here on the maintainer scripts see a running systemd (the fake one).
mount -t tmpfs -o mode=0755 varn-run-systemd /run/systemd
mkdir /run/systemd/system
rm -f /usr/sbin/policy-rc.d

# The upgrade restarts the running service while a client sends a
# statement every 10 ms: the restart's stop (SIGTERM, as systemd sends it)
# runs or spools everything the client had sent, and the restarted service
# runs what was spooled.
start_service "$work/service-edited.log"
wait_for_line "$work/service-edited.log" "Listening on TCP port 2323" 10 || fail "the edited settings' service did not start"
echo 0 >"$work/sent"
(exec 3<>/dev/tcp/127.0.0.1/2323 && for i in $(seq 1000); do
  printf "INSERT INTO notes VALUES(%d, 'during the upgrade');" $((1000 + i)) >&3 && echo "$i" >"$work/sent" || break
  sleep 0.01
done) 2>/dev/null &
client_pid=$!
sleep 0.5
cat >"$work/restart-hook" <<SH
#!/bin/sh
cp "$work/sent" "$work/sent-at-stop"
kill -TERM $service_pid
for _ in \$(seq 300); do grep -q '^Stopped\.\$' "$work/service-edited.log" && break; sleep 0.1; done
SH
chmod 0755 "$work/restart-hook"
: >"$work/systemctl.log"
run_dpkg -i "$upgrade_deb"
rm "$work/restart-hook"
wait "$service_pid" && expect_equal "the restart's stop" "Stopping Stopped." \
  "$(grep -E '^Stop' "$work/service-edited.log" | paste -sd' ' -)" || fail "the restart's stop ended with status $?"
service_pid=
wait "$client_pid" || true
expect_equal "package status after upgrade" "install ok installed $(dpkg-deb -f "$upgrade_deb" Version)" "$(package_status)"
cmp -s "$work/edited.reg" "$settings" && echo "ok: the edited settings file is kept" ||
  fail "the upgrade changed the edited settings file"
expect_equal "settings file mode after upgrade" "640 root varn-odbc" "$(mode_of "$settings")"
expect_equal "service actions on upgrade" "try-restart varn-odbc.service" "$(service_actions)"
grep -qx -- '--system daemon-reload' "$work/systemctl.log" || fail "no daemon-reload on upgrade"
[ -L "$wants" ] || fail "the upgrade dropped the enablement link"

log=$work/service-upgraded.log
start_service "$log"
if wait_for_line "$log" "Listening on TCP port" 10; then
  wait_for_line "$log" "Allowed " 2 || true
  expect_equal "start-up lines after the edit" "Listening on TCP port 2323|Allowed network 127.0.0.0 255.0.0.0" \
    "$(sed -n 2,3p "$log" | paste -sd'|' -)"
  sent=$(cat "$work/sent-at-stop")
  [ "$sent" -gt 0 ] || fail "the client had sent nothing when the service stopped"
  for _ in $(seq 100); do
    kept=$(sqlite3 "$state/notes.db" "SELECT COUNT(*) = MAX(id) - 1000 AND MIN(id) = 1001 AND COUNT(*) >= $sent FROM notes WHERE id > 1000;")
    [ "$kept" = 1 ] && break
    sleep 0.1
  done
  expect_equal "what the client sent before the stop, once each" 1 "$kept"
  send_statements 2323 "INSERT INTO notes VALUES(2, 'after the upgrade');"
  wait_for_line "$log" "Peer closed connection." 10 || fail "no 'Peer closed connection.' line after the upgrade"
  expect_equal "row after the upgrade" "after the upgrade" \
    "$(sqlite3 "$state/notes.db" 'SELECT body FROM notes WHERE id = 2;' 2>&1)"
else
  fail "the upgraded service did not start listening: $(cat "$log")"
fi
stop_service

echo "== removal"
: >"$work/systemctl.log"
run_dpkg -r varn-odbc
expect_equal "package status after removal" "deinstall ok config-files $(dpkg-deb -f "$upgrade_deb" Version)" "$(package_status)"
expect_equal "service actions on removal" "stop varn-odbc.service" "$(service_actions)"
[ -e /usr/sbin/varn-odbc ] && fail "the binary is still there"
[ -e "$unit" ] && fail "the unit is still there"
cmp -s "$work/edited.reg" "$settings" && echo "ok: removal keeps the settings file" ||
  fail "removal changed or dropped the settings file"

echo "== purge"
run_dpkg -P varn-odbc
expect_equal "package status after purge" "" "$(package_status)"
[ -e "$settings" ] && fail "purge left the settings file"
[ -e /etc/varn-odbc ] && fail "purge left /etc/varn-odbc"
[ -L "$wants" ] && fail "purge left the enablement link $wants"
[ -L /etc/systemd/system/varn-odbc.service ] && fail "purge left the unit masked"
[ -f "$state/notes.db" ] && echo "ok: purge keeps the database in $state" || fail "purge removed the database"
getent passwd varn-odbc >/dev/null && echo "ok: purge keeps the system user" || fail "purge removed the system user"

echo "== fresh install while systemd runs"
: >"$work/systemctl.log"
run_dpkg -i "$deb"
expect_equal "service actions on a fresh install (settings want editing first)" "" "$(service_actions)"
grep -qx -- '--system daemon-reload' "$work/systemctl.log" || fail "no daemon-reload on a fresh install"
expect_equal "settings file mode on reinstall" "640 root varn-odbc" "$(mode_of "$settings")"

[ $failures -eq 0 ] || { echo "$failures check(s) failed"; exit 1; }
echo "all install checks passed"
