#!/usr/bin/env bash
# Self-check for dbservers.sh: starts both servers in a temp folder and proves, through
# unixODBC's isql and the native clients, that the private ODBC config and the test user work.
#
# Usage: check_dbservers.sh   (as root; prints "N passed, M failed", exits 1 on any failure)
set -uo pipefail

HERE=$(cd "$(dirname "$0")" && pwd)
SERVERS="$HERE/dbservers.sh"
PASSED=0
FAILED=0
WORK=""
CLIENT_PIDS=()
PG_PID=""
MY_PID=""

Pass() { PASSED=$((PASSED + 1)); printf 'PASS: %s\n' "$*"; }
Fail() { FAILED=$((FAILED + 1)); printf 'FAIL: %s\n' "$*"; }
Note() { printf '      %s\n' "$*"; }

Check() {
    local label=$1
    shift
    if "$@"; then Pass "$label"; else Fail "$label"; fi
}

# A zombie counts as gone: it no longer serves anything, only waits for its parent.
PidGone() {
    local pid=$1 state
    [[ -n "$pid" ]] || return 1
    [[ -e "/proc/$pid" ]] || return 0
    state=$(awk '/^State:/ {print $2}' "/proc/$pid/status" 2>/dev/null || true)
    [[ -z "$state" || "$state" == Z ]]
}

WaitPidGone() {
    local pid=$1 deadline=$((SECONDS + $2))
    until PidGone "$pid"; do
        ((SECONDS < deadline)) || return 1
        sleep 0.1
    done
}

PidAlive() { [[ -n "$1" ]] && ! PidGone "$1"; }

Cleanup() {
    local pid
    trap - EXIT INT TERM
    for pid in "${CLIENT_PIDS[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    if [[ -n "$WORK" && -d "$WORK" ]]; then
        "$SERVERS" stop "$WORK" || printf 'cleanup: stop failed\n' >&2
        rm -rf -- "$WORK"
    fi
}

# Runs SQL lines through isql as DSN USER PASSWORD; prints isql's output, fails when isql
# could not connect or any statement failed (isql -b exits 0 on statement errors).
Isql() {
    local dsn=$1 user=$2 password=$3 sql=$4 out rc
    out=$(printf '%s\n' "$sql" | isql -b -v "$dsn" "$user" "$password" 2>&1)
    rc=$?
    printf '%s\n' "$out"
    ((rc == 0)) && [[ "$out" != *"[ISQL]ERROR"* ]]
}

FirstSqlState() {
    grep -o -m1 '^\[[0-9A-Z]\{5\}\]' | tr -d '[]'
}

ListDriverLogs() {
    find /tmp -maxdepth 1 \( -name 'psqlodbc_*' -o -name 'mylog_*' -o -name 'maodbc*.log' \) \
        2>/dev/null | sort
}

ListensOnlyOnLoopback() {
    local pid=$1 addrs
    addrs=$(ss -Htlnp 2>/dev/null | awk -v p="pid=$pid," 'index($0, p) {print $4}')
    Note "pid $pid listens on: ${addrs//$'\n'/ }"
    [[ -n "$addrs" ]] || return 1
    ! grep -v '^127\.0\.0\.1:' <<<"$addrs" >/dev/null
}

CheckConnectAndSelect() {
    local dsn=$1 out
    out=$(Isql "$dsn" varn varnpw "SELECT 40+2") || { printf '%s\n' "$out"; return 1; }
    grep -q '| *42 ' <<<"$out" || { printf '%s\n' "$out"; return 1; }
}

CheckWrongPassword() {
    local dsn=$1 expected=$2 out state
    if out=$(Isql "$dsn" varn not-the-password "SELECT 1"); then
        Note "$dsn accepted a wrong password"
        return 1
    fi
    state=$(FirstSqlState <<<"$out")
    Note "$dsn wrong password: SQLSTATE ${state:-none}: $(head -n1 <<<"$out")"
    [[ "$state" == "$expected" ]]
}

CheckWriteThroughOdbc() {
    local dsn=$1 token=$2 out
    out=$(Isql "$dsn" varn varnpw "CREATE TABLE check_rows (id INT, name VARCHAR(40))
INSERT INTO check_rows (id, name) VALUES (7, '$token')") || { printf '%s\n' "$out"; return 1; }
}

ReadBackPg() { [[ "$(psql -X -Atc "SELECT name FROM check_rows WHERE id = 7" 2>&1)" == "$1" ]]; }

ReadBackMaria() {
    [[ "$(mariadb --no-defaults --socket="$VARN_MARIA_SOCKET" -u"$VARN_MARIA_USER" \
        -p"$VARN_MARIA_PASSWORD" "$VARN_MARIA_DATABASE" -N -B \
        -e "SELECT name FROM check_rows WHERE id = 7" 2>&1)" == "$1" ]]
}

ReadBackSqlite() {
    [[ "$(sqlite3 "$VARN_SQLITE_DB" "SELECT name FROM check_rows WHERE id = 7" 2>&1)" == "$1" ]]
}

StopWasPrompt() { (($1 < 15)) && ! grep -q SIGKILL "$2"; }

PgClientCount() {
    psql -X -Atc "SELECT count(*) FROM pg_stat_activity WHERE query LIKE 'SELECT pg_sleep(60)%'" \
        2>/dev/null
}

MariaClientCount() {
    mariadb --no-defaults --socket="$VARN_MARIA_SOCKET" -u"$VARN_MARIA_USER" \
        -p"$VARN_MARIA_PASSWORD" -N -B -e \
        "SELECT count(*) FROM information_schema.processlist WHERE info LIKE 'SELECT SLEEP(60)%'" \
        2>/dev/null
}

WaitForCount() {
    local fn=$1 deadline=$((SECONDS + 10))
    until [[ "$($fn)" == 1 ]]; do
        ((SECONDS < deadline)) || return 1
        sleep 0.2
    done
}

# Takes one server away under a connected client and brings it back: the stop must end the
# client's session promptly (no wait for it to leave), the data must survive the restart.
CheckRestart() {
    local name=$1 stopcmd=$2 startcmd=$3 pidfile=$4 dsn=$5 token=$6 readback=$7
    local countfn=$8 old_pid new_pid client started took out state
    shift 8
    old_pid=$(cat "$WORK/$pidfile")
    "$@" >/dev/null 2>&1 </dev/null &
    client=$!
    CLIENT_PIDS+=("$client")
    Check "$name: a client is connected and busy" WaitForCount "$countfn"
    started=$SECONDS
    "$SERVERS" "$stopcmd" "$WORK" 2>"$WORK/stop.err"
    Check "$name: $stopcmd exits 0" test $? -eq 0
    took=$((SECONDS - started))
    Note "$stopcmd took ${took} s; $(cat "$WORK/stop.err")"
    Check "$name: $stopcmd ended the server without SIGKILL" StopWasPrompt "$took" "$WORK/stop.err"
    Check "$name: server pid $old_pid gone" WaitPidGone "$old_pid" 5
    Check "$name: connected client was cut off" WaitPidGone "$client" 10
    if out=$(Isql "$dsn" varn varnpw "SELECT 1"); then
        Fail "$name: ODBC connect fails while the server is down"
    else
        state=$(FirstSqlState <<<"$out")
        Pass "$name: ODBC connect fails while the server is down"
        Note "SQLSTATE ${state:-none}: $(head -n1 <<<"$out")"
    fi
    "$SERVERS" "$startcmd" "$WORK"
    Check "$name: $startcmd exits 0" test $? -eq 0
    new_pid=$(cat "$WORK/$pidfile" 2>/dev/null)
    Check "$name: new server pid $new_pid recorded and alive" PidAlive "$new_pid"
    Check "$name: ODBC connect works after $startcmd" CheckConnectAndSelect "$dsn"
    Check "$name: data kept across the restart" "$readback" "$token"
}

Main() {
    local started took token dsn
    ((EUID == 0)) || { echo "check_dbservers.sh must run as root" >&2; exit 2; }
    WORK=$(mktemp -d /tmp/dbservers-check.XXXXXX)
    trap Cleanup EXIT
    trap 'exit 130' INT TERM

    started=$SECONDS
    if ! "$SERVERS" start "$WORK"; then
        Fail "dbservers.sh start"
        return
    fi
    took=$((SECONDS - started))
    Pass "dbservers.sh start (${took} s)"
    # shellcheck disable=SC1091
    source "$WORK/env.sh"
    PG_PID=$(cat "$WORK/pg.pid")
    MY_PID=$(cat "$WORK/my.pid")
    Check "PostgreSQL pid $PG_PID alive" PidAlive "$PG_PID"
    Check "MariaDB pid $MY_PID alive" PidAlive "$MY_PID"
    Check "ODBCSYSINI points into the temp folder" test "$ODBCSYSINI" = "$WORK"
    Check "PostgreSQL listens on 127.0.0.1 only" ListensOnlyOnLoopback "$PG_PID"
    Check "MariaDB listens on 127.0.0.1 only" ListensOnlyOnLoopback "$MY_PID"

    "$SERVERS" start "$WORK" 2>"$WORK/restart.err"
    Check "second start on the same folder is refused" test $? -ne 0
    Note "$(cat "$WORK/restart.err")"
    Check "the refused start left PostgreSQL running" PidAlive "$PG_PID"
    Check "the refused start left MariaDB running" PidAlive "$MY_PID"

    local logs_before logs_after
    logs_before=$(ListDriverLogs)
    for dsn in varn_pg varn_maria varn_sqlite; do
        Check "$dsn: connect as varn/varnpw and SELECT 40+2" CheckConnectAndSelect "$dsn"
    done
    Check "varn_pg: wrong password refused with SQLSTATE 08001" CheckWrongPassword varn_pg 08001
    Check "varn_maria: wrong password refused with SQLSTATE 28000" \
        CheckWrongPassword varn_maria 28000

    token="row-$$-$RANDOM"
    for dsn in varn_pg varn_maria varn_sqlite; do
        Check "$dsn: CREATE TABLE and INSERT through ODBC" CheckWriteThroughOdbc "$dsn" "$token"
    done
    Check "psql reads the row written through varn_pg" ReadBackPg "$token"
    Check "mariadb reads the row written through varn_maria" ReadBackMaria "$token"
    Check "sqlite3 reads the row written through varn_sqlite" ReadBackSqlite "$token"
    logs_after=$(ListDriverLogs)
    Check "no driver log files appeared under /tmp" test "$logs_before" = "$logs_after"

    CheckRestart PostgreSQL stop-pg start-pg pg.pid varn_pg "$token" ReadBackPg PgClientCount \
        psql -X -c "SELECT pg_sleep(60)"
    CheckRestart MariaDB stop-maria start-maria my.pid varn_maria "$token" ReadBackMaria \
        MariaClientCount mariadb --no-defaults --socket="$VARN_MARIA_SOCKET" -u"$VARN_MARIA_USER" \
        -p"$VARN_MARIA_PASSWORD" -e "SELECT SLEEP(60)"
    PG_PID=$(cat "$WORK/pg.pid")
    MY_PID=$(cat "$WORK/my.pid")

    "$SERVERS" stop "$WORK"
    Check "dbservers.sh stop exits 0" test $? -eq 0
    Check "PostgreSQL pid $PG_PID gone after stop" WaitPidGone "$PG_PID" 5
    Check "MariaDB pid $MY_PID gone after stop" WaitPidGone "$MY_PID" 5
    Check "nothing listens on the PostgreSQL port after stop" \
        test -z "$(ss -Htln "sport = :$VARN_PG_PORT")"
    Check "nothing listens on the MariaDB port after stop" \
        test -z "$(ss -Htln "sport = :$VARN_MARIA_PORT")"
    "$SERVERS" stop "$WORK"
    Check "stop again with the servers gone exits 0" test $? -eq 0

    Cleanup
    Check "temp folder removed" test ! -e "$WORK"
}

Main
printf '%d passed, %d failed\n' "$PASSED" "$FAILED"
((FAILED == 0))
