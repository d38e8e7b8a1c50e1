#!/usr/bin/env bash
# The Windows package and service under Wine, in a private prefix with a
# persistent wineserver: a silent install, the service started and stopped by
# sc, serving a SQLite data source through the host's unixODBC and appending
# to its log, console events that leave it running, an upgrade over changed
# settings, a log file named in the settings (and as the metrics file), a busy
# port, an uninstall.
# Usage: msi_test.sh PACKAGE.msi VARN-ODBC.EXE PACKAGING-DIR SQLITE-ODBC-DRIVER
set -euo pipefail

msi=$1 exe=$2 packaging=$3 driver=$4
[ -f "$msi" ] || { echo "FAIL: no $msi (scripts/package-windows.sh builds it)"; exit 1; }
work=$(mktemp -d "${TMPDIR:-/tmp}/varn-msi-test.XXXXXX")
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe=d"
# The service inherits these from the prefix's service manager, started by
# the first Wine command after the server below.
export ODBCSYSINI=$work ODBCINI=$work/odbc.ini
key='HKLM\SOFTWARE\Halvorin\VARN ODBC'
serviceKey='HKLM\System\CurrentControlSet\Services\varn-odbc'
log="$WINEPREFIX/drive_c/ProgramData/VARN ODBC/varn-odbc.log"
program="$WINEPREFIX/drive_c/Program Files/VARN ODBC"
serverPid="" holderPid="" failures=0

StopServer() {
  [ -n "$serverPid" ] || return 0
  wineserver -k 2>/dev/null || true
  for _ in $(seq 100); do kill -0 "$serverPid" 2>/dev/null || break; sleep 0.1; done
  kill -KILL "$serverPid" 2>/dev/null || true
  serverPid=""
}
StartServer() {
  setsid wineserver --foreground --persistent </dev/null >>"$work/wineserver.log" 2>&1 &
  serverPid=$!
}
Cleanup() {
  [ -z "$holderPid" ] || kill "$holderPid" 2>/dev/null || true
  StopServer
  rm -rf "$work"
}
trap Cleanup EXIT
trap "exit 1" INT TERM

fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
expect_equal() { # WHAT EXPECTED ACTUAL
  if [ "$2" != "$3" ]; then fail "$1: expected '$2', got '$3'"; else echo "ok: $1"; fi
}
Wine() { wine "$@" </dev/null 2>>"$work/wine.log" | tr -d '\r'; }
Value() { Wine reg query "$1" /v "$2" 2>/dev/null | sed -n "s/^ *$2 *REG_[A-Z_]* *//p"; }
State() { Wine sc query varn-odbc | sed -n "s/^ *$1 *: *\([0-9]*\).*/\1/p"; }
WaitFor() { for _ in $(seq 100); do "$@" && return 0; sleep 0.2; done; return 1; }
# The log's lines without the time each begins with.
Log() { sed -E 's/^[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3}Z //' "$log"; }
LogHas() { grep -qF "$1"$'\r' "$log" 2>/dev/null; }
LogCount() { [ "$(grep -cF "$1"$'\r' "$log")" = "$2" ]; }
Rows() { [ "$(sqlite3 "$work/test.db" 'SELECT count(*) FROM t;')" = "$1" ]; }
Stopped() { [ "$(State STATE)" = 1 ]; }
Listened() { [ -n "$(ss -Hltn "sport = :$1")" ]; }
Closed() { ! Listened "$1"; }
Send() { printf '%s' "$2" | socat -u - "TCP4:127.0.0.1:$port,bind=$1"; }
FreePort() { local p; while p=$((20000 + RANDOM % 40000)) && Listened "$p"; do :; done; echo "$p"; }

printf '[SQLite3]\nDriver=%s\n' "$driver" >"$work/odbcinst.ini"
printf '[varn_sqlite]\nDriver=SQLite3\nDatabase=%s\nTimeout=2000\n' "$work/test.db" >"$work/odbc.ini"
# A prefix made under a persistent server was seen to run two service
# managers; the prefix is made first and served by a fresh server after.
StartServer
wineboot --init </dev/null >>"$work/wine.log" 2>&1
StopServer
StartServer

echo "== a silent install"
Wine msiexec /i "Z:$msi" /qn || fail "msiexec /i ended with status $?"
[ -f "$program/varn-odbc.exe" ] && [ -f "$program/settings-example.reg" ] || fail "program files missing"
expect_equal "service start type: demand" 0x3 "$(Value "$serviceKey" Start)"
expect_equal "service account" 'NT AUTHORITY\LocalService' "$(Value "$serviceKey" ObjectName)"
expect_equal "service program" 'C:\Program Files\VARN ODBC\varn-odbc.exe' "$(Value "$serviceKey" ImagePath)"
expect_equal "example settings: host" 127.0.0.1 "$(Value "$key" 'Allow IP')"
expect_equal "example settings: data source" varn-odbc "$(Value "$key" 'Data Source')"
expect_equal "example settings: spool" 'C:\ProgramData\VARN ODBC\spool' "$(Value "$key" 'Spool File')"

echo "== started by sc, serving and logging"
port=$(FreePort)
metrics="$WINEPREFIX/drive_c/ProgramData/VARN ODBC/varn.prom"
printf 'REGEDIT4\n\n[%s]\n"Data Source"="varn_sqlite"\n"TCP Port"=dword:%08x\n"Allow IP"="127.3.4.5"\n"Metrics File"="%s"\n' \
  'HKEY_LOCAL_MACHINE\SOFTWARE\Halvorin\VARN ODBC' "$port" 'C:\\ProgramData\\VARN ODBC\\varn.prom' >"$work/settings.reg"
Wine regedit /S "Z:$work/settings.reg"
Wine sc start varn-odbc >/dev/null || fail "sc start ended with status $?"
WaitFor LogHas "Listening on TCP port $port" || fail "service did not listen: $(cat "$log" 2>&1)"
expect_equal "running" 4 "$(State STATE)"
Send 127.3.4.5 "CREATE TABLE t(a INTEGER, b TEXT);INSERT INTO t VALUES(1, 'one');"
WaitFor LogHas "Peer closed connection." || fail "no end of connection in the log"
expect_equal "rows in SQLite" "1|one" "$(sqlite3 "$work/test.db" 'SELECT * FROM t;')"
firstRun=$(printf '%s\r\n' "Halvorin VARN ODBC Query Service 19May04" "Listening on TCP port $port" \
  "Allowed host 127.3.4.5" "Incoming connection from 127.3.4.5" 'Query: "CREATE TABLE t(a INTEGER, b TEXT);"' \
  "Query: \"INSERT INTO t VALUES(1, 'one');\"" "Peer closed connection.")
expect_equal "the log, each line ending in CR LF" "$firstRun" "$(Log)"
expect_equal "lines without their time" "" "$(grep -vE '^[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3}Z ' "$log")"

echo "== console events leave the service running"
# Ctrl-C, a user's logoff and the system's shutdown, each taken by a handler;
# the stop control below stops it.
x86_64-w64-mingw32-gcc -O2 -o "$work/console_event.exe" "$(dirname "$0")/console_event.c"
for event in 0 5 6; do
  expect_equal "console event $event taken" 1 "$(Wine "$work/console_event.exe" varn-odbc.exe "$event")"
done
expect_equal "running after console events" "4 $firstRun" "$(State STATE) $(Log)"

echo "== stopped with a statement running and one waiting, started again"
# The client stays connected (fd 3 open). Its second statement runs about a
# second; the stop comes while it runs, with the third still in the socket,
# which the packaged settings' spool keeps for the next start.
slow="INSERT INTO t SELECT 9, count(*) FROM (WITH RECURSIVE c(x) AS (VALUES(1) UNION ALL SELECT x + 1 FROM c WHERE x < 6000000) SELECT x FROM c);"
exec 3> >(exec socat -u - "TCP4:127.0.0.1:$port,bind=127.3.4.5")
holderPid=$!
printf '%s' "INSERT INTO t VALUES(2, 'two');$slow INSERT INTO t VALUES(3, 'three');" >&3
WaitFor Rows 2 || fail "second row missing"
WaitFor LogHas "Query: \"$slow\"" || fail "the slow statement did not start"
started=$SECONDS
Wine sc stop varn-odbc >/dev/null || fail "sc stop ended with status $?"
WaitFor Stopped || fail "not stopped"
[ $((SECONDS - started)) -le 10 ] || fail "stopping took $((SECONDS - started)) s"
expect_equal "the stop's lines" "Stopping|Query: \" INSERT INTO t VALUES(3, 'three');\"|Statement spooled, 1 waiting.|Peer closed connection.|Stopped." \
  "$(Log | sed -n '/^Stopping/,$p' | tr -d '\r' | paste -sd'|' -)"
expect_equal "exit codes after stop" "0 0" "$(State WIN32_EXIT_CODE) $(State SERVICE_EXIT_CODE)"
expect_equal "the metrics file at the stop" "varn_odbc_statements_read_total 5|varn_odbc_statements_spooled_total 1" \
  "$(grep -E '^varn_odbc_statements_(read|spooled)_total ' "$metrics" | paste -sd'|' -)"
expect_equal "rows at the stop" "1 2 9" "$(sqlite3 "$work/test.db" 'SELECT a FROM t ORDER BY a;' | paste -sd' ' -)"
WaitFor Closed "$port" || fail "port $port still open after stop"
exec 3>&-
holderPid=""
Wine sc start varn-odbc >/dev/null || fail "second sc start ended with status $?"
WaitFor LogCount "Listening on TCP port $port" 2 || fail "no second start in the log: $(tail -n 3 "$log")"
WaitFor LogHas "Spool empty." || fail "the spooled statement did not run after the start"
expect_equal "rows after the start" "1 2 3 9" "$(sqlite3 "$work/test.db" 'SELECT a FROM t ORDER BY a;' | paste -sd' ' -)"
expect_equal "first run kept at the head of the log" "$firstRun" "$(Log | head -n 7)"

echo "== an upgrade over a changed setting"
version=$(basename "$msi" | sed 's/^varn-odbc-\(.*\)-x64\.msi$/\1/')
newer=${version%.*}.$((${version##*.} + 1))
cp "$exe" "$work/varn-odbc.exe"
cp "$packaging/settings-windows.reg" "$work/settings-example.reg"
# wixl finds sources relative to the folder it runs in.
(cd "$work" && wixl -a x64 -D Version="$newer" -D Exe=varn-odbc.exe -D ExampleSettings=settings-example.reg \
  -o newer.msi "$packaging/varn-odbc.wxs")
Wine reg add "$key" /v 'Allow IP' /d 127.3.4.6 /f >/dev/null
before=$(Wine reg query "$key")
Wine msiexec /i "Z:$work/newer.msi" /qn || fail "upgrade ended with status $?"
expect_equal "settings kept by the upgrade" "$before" "$(Wine reg query "$key")"
WaitFor Stopped || fail "not stopped by the upgrade: state $(State STATE)"
expect_equal "service still demand start" 0x3 "$(Value "$serviceKey" Start)"
Wine sc start varn-odbc >/dev/null
WaitFor LogHas "Allowed host 127.3.4.6" || fail "upgraded service did not start with the kept setting"
Wine sc stop varn-odbc >/dev/null
WaitFor Stopped || fail "not stopped after the upgrade"

echo "== a log file named in the settings"
Wine reg add "$key" /v 'Log File' /d 'C:\no such folder\varn-odbc.log' /f >/dev/null
Wine sc start varn-odbc >/dev/null || true
WaitFor Stopped || fail "service kept running without its log"
expect_equal "exit codes: path not found" "3 0" "$(State WIN32_EXIT_CODE) $(State SERVICE_EXIT_CODE)"
Wine reg add "$key" /v 'Log File' /d 'C:\varn-named.log' /f >/dev/null
Wine sc start varn-odbc >/dev/null || fail "sc start with a named log ended with status $?"
WaitFor grep -qF "Listening on TCP port $port"$'\r' "$WINEPREFIX/drive_c/varn-named.log" || fail "named log unused"
Wine sc stop varn-odbc >/dev/null
WaitFor Stopped || fail "not stopped with a named log"
# The same file by another spelling.
Wine reg add "$key" /v 'Metrics File' /d 'c:\VARN-NAMED.LOG' /f >/dev/null
Wine sc start varn-odbc >/dev/null || true
WaitFor Stopped || fail "service kept running with its log as its metrics file"
expect_equal "exit codes: the log as the metrics file" "1066 1" "$(State WIN32_EXIT_CODE) $(State SERVICE_EXIT_CODE)"
expect_equal "last line: the log as the metrics file" 'Same file named twice: log file C:\varn-named.log and metrics file c:\VARN-NAMED.LOG' \
  "$(tail -n 1 "$WINEPREFIX/drive_c/varn-named.log" | tr -d '\r' | cut -d' ' -f2-)"
Wine reg delete "$key" /v 'Metrics File' /f >/dev/null
Wine reg delete "$key" /v 'Log File' /f >/dev/null

echo "== a busy port"
port=$(FreePort)
socat "TCP4-LISTEN:$port,bind=0.0.0.0" - </dev/null >/dev/null &
holderPid=$!
WaitFor Listened "$port" || fail "could not take port $port"
Wine reg add "$key" /v 'TCP Port' /t REG_DWORD /d "$port" /f >/dev/null
Wine sc start varn-odbc >/dev/null || true
WaitFor LogHas "bind($port) failed Unknown error" || fail "no bind line: $(tail -n 3 "$log")"
WaitFor Stopped || fail "service kept running on a busy port"
expect_equal "exit codes: service-specific, 1" "1066 1" "$(State WIN32_EXIT_CODE) $(State SERVICE_EXIT_CODE)"
expect_equal "last line on a busy port" "bind($port) failed Unknown error" "$(Log | tail -n 1 | tr -d '\r')"
kill "$holderPid" 2>/dev/null || true
holderPid=""

echo "== an uninstall"
before=$(Wine reg query "$key")
Wine msiexec /x "Z:$work/newer.msi" /qn || fail "msiexec /x ended with status $?"
[ ! -e "$program/varn-odbc.exe" ] || fail "program left behind"
Wine reg query "$serviceKey" >/dev/null 2>&1 && fail "service still registered"
expect_equal "settings kept by the uninstall" "$before" "$(Wine reg query "$key")"
[ -s "$log" ] || fail "log removed"

[ "$failures" -eq 0 ] || { echo "$failures failure(s); Wine's messages:"; tail -n 20 "$work/wine.log"; exit 1; }
echo "all passed"
