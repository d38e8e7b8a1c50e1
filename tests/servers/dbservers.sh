#!/usr/bin/env bash
# Starts and stops throwaway PostgreSQL 15 and MariaDB servers for the test suite and
# registers their ODBC drivers and data sources in a private unixODBC config inside DIR.
#
# Usage: dbservers.sh start|stop|start-pg|stop-pg|start-maria|stop-maria DIR
#   start        install missing Debian packages (root only), create and start both servers
#                in the fresh folder DIR, write DIR/odbcinst.ini, DIR/odbc.ini and DIR/env.sh
#   stop         stop both servers by process id; servers already gone are not an error.
#                A stopped server may linger as a zombie until init reaps it; treat that as gone.
#   stop-pg      stop only PostgreSQL, keeping its data; start-pg brings it back on the same port
#   stop-maria   the same for MariaDB; start-maria brings it back
# The caller owns DIR: it creates it before start and removes it after stop.
# Every server listens on 127.0.0.1 and on unix sockets inside DIR, nothing else.
set -euo pipefail

readonly DB_USER=varn
readonly DB_PASSWORD=varnpw
readonly DB_NAME=varn
readonly PG_BIN=/usr/lib/postgresql/15/bin
readonly PACKAGES=(postgresql postgresql-15 mariadb-server mariadb-client odbc-postgresql
    odbc-mariadb unixodbc odbcinst libsqliteodbc sqlite3 iproute2)
readonly STOP_WAIT_SECONDS=20
readonly START_WAIT_SECONDS=60
# sun_path holds 108 bytes including the terminating NUL.
readonly MAX_SOCKET_PATH=107

Say() { printf 'dbservers: %s\n' "$*" >&2; }
Die() { Say "error: $*"; exit 1; }

Usage() {
    sed -n '5,13p' "$0" | sed 's/^# \{0,1\}//' >&2
    exit 2
}

IsInstalled() {
    [[ "$(dpkg-query -W -f='${Status}' "$1" 2>/dev/null || true)" == "install ok installed" ]]
}

InstallMissingPackages() {
    local missing=() pkg started log
    for pkg in "${PACKAGES[@]}"; do
        IsInstalled "$pkg" || missing+=("$pkg")
    done
    if ((${#missing[@]} == 0)); then
        return 0
    fi
    if ((EUID != 0)); then
        Die "missing packages (run as root to install them): ${missing[*]}"
    fi
    started=$SECONDS
    Say "installing: ${missing[*]}"
    # Debian's policy-rc.d (or the lack of an init system) keeps the packaged services from
    # starting; nothing here depends on them, the servers below are our own.
    log=$(mktemp)
    if ! { DEBIAN_FRONTEND=noninteractive apt-get update &&
        DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"; } \
        >"$log" 2>&1; then
        tail -n 40 "$log" >&2
        rm -f "$log"
        Die "apt-get failed"
    fi
    rm -f "$log"
    Say "apt-get took $((SECONDS - started)) s"
}

# Prints the absolute path of the shared library NAME shipped by Debian package PKG.
FindPackageLibrary() {
    local pkg=$1 name=$2 path
    path=$(dpkg -L "$pkg" | grep -m1 "/${name}\$" || true)
    [[ -n "$path" && -f "$path" ]] || Die "package $pkg ships no $name"
    printf '%s\n' "$path"
}

PortIsFree() {
    local port=$1
    if command -v ss >/dev/null 2>&1; then
        [[ -z "$(ss -Htln "sport = :$port" 2>/dev/null)" ]]
    else
        if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then return 1; fi
    fi
}

# Prints a TCP port nobody listens on; random so parallel test runs rarely collide.
PickFreePort() {
    local tries port
    for ((tries = 0; tries < 200; tries++)); do
        port=$((20000 + RANDOM % 40000))
        if PortIsFree "$port"; then
            printf '%s\n' "$port"
            return 0
        fi
    done
    Die "found no free TCP port"
}

# True when PID is alive and its command line names DIR, so a recycled pid of some
# unrelated process is never mistaken for one of our servers.
IsOurProcess() {
    local pid=$1 dir=$2 cmdline
    [[ "$pid" =~ ^[0-9]+$ ]] || return 1
    [[ -r "/proc/$pid/cmdline" ]] || return 1
    cmdline=$(tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null || true)
    [[ "$cmdline" == *"$dir/"* ]]
}

ReadPidFile() {
    local file=$1
    [[ -s "$file" ]] || return 1
    head -n1 "$file" | tr -d '[:space:]'
}

# Prints the pid of the server recorded in PIDFILE when it is still running.
RunningPid() {
    local pidfile=$1 dir=$2 pid
    pid=$(ReadPidFile "$pidfile") || return 1
    IsOurProcess "$pid" "$dir" || return 1
    printf '%s\n' "$pid"
}

# Sends FIRST_SIGNAL, escalates to SIGKILL after STOP_WAIT_SECONDS, and returns once the
# process has exited; it may stay a zombie for a second or two until init reaps it.
StopPid() {
    local pid=$1 dir=$2 first_signal=$3 label=$4 deadline
    IsOurProcess "$pid" "$dir" || return 0
    kill "-$first_signal" "$pid" 2>/dev/null || return 0
    deadline=$((SECONDS + STOP_WAIT_SECONDS))
    while IsOurProcess "$pid" "$dir" && ((SECONDS < deadline)); do
        sleep 0.1
    done
    if IsOurProcess "$pid" "$dir"; then
        Say "$label (pid $pid) still running after ${STOP_WAIT_SECONDS} s, sending SIGKILL"
        kill -KILL "$pid" 2>/dev/null || true
        deadline=$((SECONDS + 5))
        while IsOurProcess "$pid" "$dir" && ((SECONDS < deadline)); do
            sleep 0.1
        done
        IsOurProcess "$pid" "$dir" && Die "$label (pid $pid) survived SIGKILL"
        # A killed postmaster leaves its postmaster.pid behind, and PostgreSQL refuses to start
        # over it while that pid exists, even as a zombie waiting for init to reap it.
        deadline=$((SECONDS + 10))
        while [[ "$(awk '/^State:/ {print $2}' "/proc/$pid/status" 2>/dev/null)" == Z ]] &&
            ((SECONDS < deadline)); do
            sleep 0.1
        done
    fi
    return 0
}

PgAsPostgres() {
    runuser -u postgres -- "$@"
}

WriteEnvFile() {
    local dir=$1 pg_port=$2 maria_port=$3 file="$1/env.sh"
    {
        printf '# Environment for tests against the servers in this folder; source it.\n'
        printf 'export ODBCSYSINI=%q\n' "$dir"
        printf 'export ODBCINI=%q\n' "$dir/odbc.ini"
        printf 'export VARN_SERVERS_DIR=%q\n' "$dir"
        printf 'export VARN_DB_USER=%q VARN_DB_PASSWORD=%q VARN_DB_NAME=%q\n' \
            "$DB_USER" "$DB_PASSWORD" "$DB_NAME"
        printf 'export VARN_DSN_PG=varn_pg VARN_DSN_MARIA=varn_maria VARN_DSN_SQLITE=varn_sqlite\n'
        printf 'export VARN_PG_HOST=127.0.0.1 VARN_PG_PORT=%q VARN_PG_SOCKET_DIR=%q\n' \
            "$pg_port" "$dir/pgsock"
        printf 'export PGHOST=127.0.0.1 PGPORT=%q PGUSER=%q PGPASSWORD=%q PGDATABASE=%q\n' \
            "$pg_port" "$DB_USER" "$DB_PASSWORD" "$DB_NAME"
        printf 'export VARN_MARIA_HOST=127.0.0.1 VARN_MARIA_PORT=%q VARN_MARIA_SOCKET=%q\n' \
            "$maria_port" "$dir/my.sock"
        printf 'export VARN_MARIA_USER=%q VARN_MARIA_PASSWORD=%q VARN_MARIA_DATABASE=%q\n' \
            "$DB_USER" "$DB_PASSWORD" "$DB_NAME"
        printf 'export VARN_SQLITE_DB=%q\n' "$dir/test.db"
    } >"$file"
}

WriteOdbcConfig() {
    local dir=$1 pg_port=$2 maria_port=$3 psql_lib maria_lib sqlite_lib
    psql_lib=$(FindPackageLibrary odbc-postgresql psqlodbca.so)
    maria_lib=$(FindPackageLibrary odbc-mariadb libmaodbc.so)
    sqlite_lib=$(FindPackageLibrary libsqliteodbc libsqlite3odbc.so)
    # Debian's own psqlODBC entry turns CommLog on, which appends to a file under /tmp on
    # every connection; this private copy keeps all driver logging off.
    cat >"$dir/odbcinst.ini" <<EOF
[ODBC]
Trace=No

[PostgreSQL ANSI]
Description=PostgreSQL ODBC driver (ANSI)
Driver=$psql_lib
CommLog=0
Debug=0

[MariaDB]
Description=MariaDB Connector/ODBC
Driver=$maria_lib

[SQLite3]
Description=SQLite3 ODBC driver
Driver=$sqlite_lib
EOF
    # Credentials are not stored: the application passes them when it connects.
    cat >"$dir/odbc.ini" <<EOF
[varn_pg]
Driver=PostgreSQL ANSI
Servername=127.0.0.1
Port=$pg_port
Database=$DB_NAME
CommLog=0
Debug=0

[varn_maria]
Driver=MariaDB
SERVER=127.0.0.1
PORT=$maria_port
DATABASE=$DB_NAME

[varn_sqlite]
Driver=SQLite3
Database=$dir/test.db
EOF
}

# ---------------------------------------------------------------- PostgreSQL

InitPostgres() {
    local dir=$1 port=$2 sockdir="$1/pgsock"
    ((${#sockdir} + 20 <= MAX_SOCKET_PATH)) || Die "path too long for a unix socket: $sockdir"
    install -d -o postgres -g postgres -m 700 "$dir/pg"
    install -d -o postgres -g postgres -m 755 "$sockdir"
    install -o postgres -g postgres -m 644 /dev/null "$dir/pg.log"
    PgAsPostgres "$PG_BIN/initdb" -D "$dir/pg" -U postgres -E UTF8 --locale=C.UTF-8 \
        --auth-local=peer --auth-host=scram-sha-256 >"$dir/pg-initdb.log" 2>&1 ||
        { cat "$dir/pg-initdb.log" >&2; Die "initdb failed"; }
    # Throwaway data: durability settings are traded for speed.
    cat >>"$dir/pg/postgresql.conf" <<EOF

# Written by dbservers.sh
listen_addresses = '127.0.0.1'
port = $port
unix_socket_directories = '$sockdir'
password_encryption = scram-sha-256
fsync = off
synchronous_commit = off
full_page_writes = off
shared_buffers = 32MB
max_connections = 50
EOF
    # Only the local superuser gets in without a password; the test user always needs one.
    cat >"$dir/pg/pg_hba.conf" <<EOF
local   all   postgres                 peer
local   all   all                      scram-sha-256
host    all   all      127.0.0.1/32    scram-sha-256
EOF
    chown postgres:postgres "$dir/pg/pg_hba.conf"
}

StartPostgres() {
    local dir=$1 pid
    if pid=$(RunningPid "$dir/pg.pid" "$dir"); then
        Die "PostgreSQL already running in $dir (pid $pid)"
    fi
    [[ -d "$dir/pg" ]] || Die "no PostgreSQL data in $dir/pg"
    PgAsPostgres "$PG_BIN/pg_ctl" -D "$dir/pg" -l "$dir/pg.log" -t "$START_WAIT_SECONDS" \
        -w start >/dev/null ||
        { tail -n 30 "$dir/pg.log" >&2; Die "PostgreSQL did not start"; }
    pid=$(ReadPidFile "$dir/pg/postmaster.pid") || Die "PostgreSQL wrote no postmaster.pid"
    printf '%s\n' "$pid" >"$dir/pg.pid"
}

CreatePostgresUser() {
    local dir=$1 port=$2
    PgAsPostgres "$PG_BIN/psql" -h "$dir/pgsock" -p "$port" -d postgres -v ON_ERROR_STOP=1 -q <<EOF >&2
CREATE ROLE $DB_USER LOGIN PASSWORD '$DB_PASSWORD';
CREATE DATABASE $DB_NAME OWNER $DB_USER;
EOF
}

# Fast shutdown (SIGINT) ends connected sessions; PostgreSQL's SIGTERM would wait for every
# client to disconnect on its own, which defeats taking the server away under a client.
StopPostgres() {
    local dir=$1 pid
    if pid=$(RunningPid "$dir/pg.pid" "$dir") ||
        pid=$(RunningPid "$dir/pg/postmaster.pid" "$dir"); then
        StopPid "$pid" "$dir" INT PostgreSQL
    fi
    rm -f "$dir/pg.pid"
}

# ---------------------------------------------------------------- MariaDB

MariaClient() {
    local dir=$1
    shift
    mariadb --no-defaults --protocol=socket --socket="$dir/my.sock" -uroot "$@"
}

InitMaria() {
    local dir=$1
    ((${#dir} + 8 <= MAX_SOCKET_PATH)) || Die "path too long for a unix socket: $dir/my.sock"
    mkdir -p "$dir/my" "$dir/mytmp"
    # root@localhost is reachable only through unix_socket authentication as the OS user
    # root, so the server has no password-less account on TCP.
    mariadb-install-db --no-defaults --datadir="$dir/my" --user=root \
        --auth-root-authentication-method=socket --skip-test-db \
        >"$dir/my-install.log" 2>&1 ||
        { cat "$dir/my-install.log" >&2; Die "mariadb-install-db failed"; }
}

StartMaria() {
    local dir=$1 port=$2 pid deadline
    if pid=$(RunningPid "$dir/my.pid" "$dir"); then
        Die "MariaDB already running in $dir (pid $pid)"
    fi
    [[ -d "$dir/my/mysql" ]] || Die "no MariaDB data in $dir/my"
    rm -f "$dir/my.pid"
    # --no-defaults keeps Debian's /etc/mysql config (its socket, port, datadir) out.
    setsid mariadbd --no-defaults --user=root --datadir="$dir/my" --tmpdir="$dir/mytmp" \
        --socket="$dir/my.sock" --port="$port" --bind-address=127.0.0.1 \
        --pid-file="$dir/my.pid" --log-error="$dir/my.err" --skip-name-resolve \
        --innodb-buffer-pool-size=32M --innodb-flush-log-at-trx-commit=0 \
        --skip-log-bin </dev/null >>"$dir/my.out" 2>&1 &
    pid=$!
    printf '%s\n' "$pid" >"$dir/my.pid"
    deadline=$((SECONDS + START_WAIT_SECONDS))
    until MariaClient "$dir" -e 'SELECT 1' >/dev/null 2>&1; do
        if ! kill -0 "$pid" 2>/dev/null; then
            tail -n 30 "$dir/my.err" >&2 || true
            Die "MariaDB exited during start"
        fi
        if ((SECONDS >= deadline)); then
            StopPid "$pid" "$dir" TERM MariaDB
            tail -n 30 "$dir/my.err" >&2 || true
            Die "MariaDB did not answer within ${START_WAIT_SECONDS} s"
        fi
        sleep 0.2
    done
}

CreateMariaUser() {
    local dir=$1
    MariaClient "$dir" <<EOF
DELETE FROM mysql.global_priv WHERE User = '';
FLUSH PRIVILEGES;
CREATE DATABASE $DB_NAME;
CREATE USER '$DB_USER'@'localhost' IDENTIFIED BY '$DB_PASSWORD';
CREATE USER '$DB_USER'@'127.0.0.1' IDENTIFIED BY '$DB_PASSWORD';
GRANT ALL PRIVILEGES ON $DB_NAME.* TO '$DB_USER'@'localhost';
GRANT ALL PRIVILEGES ON $DB_NAME.* TO '$DB_USER'@'127.0.0.1';
EOF
}

StopMaria() {
    local dir=$1 pid
    if pid=$(RunningPid "$dir/my.pid" "$dir"); then
        StopPid "$pid" "$dir" TERM MariaDB
    fi
    rm -f "$dir/my.pid"
}

# ---------------------------------------------------------------- commands

# Reads the ports chosen by start back from env.sh.
LoadPorts() {
    local dir=$1
    [[ -f "$dir/env.sh" ]] || Die "$dir/env.sh missing: was start run on this folder?"
    # shellcheck disable=SC1091
    source "$dir/env.sh"
}

CmdStart() {
    local dir=$1 pg_port maria_port started
    started=$SECONDS
    [[ -d "$dir" ]] || Die "$dir does not exist (the caller creates it)"
    if RunningPid "$dir/pg.pid" "$dir" >/dev/null || RunningPid "$dir/my.pid" "$dir" >/dev/null; then
        Die "servers already running in $dir; run stop first"
    fi
    [[ ! -e "$dir/pg" && ! -e "$dir/my" ]] ||
        Die "$dir already holds server data; start wants a fresh folder (see start-pg/start-maria)"
    InstallMissingPackages
    for cmd in runuser mariadbd mariadb mariadb-install-db isql "$PG_BIN/initdb"; do
        command -v "$cmd" >/dev/null 2>&1 || Die "$cmd not found"
    done
    ((EUID == 0)) || Die "start must run as root (initdb runs as postgres, mariadbd as root)"
    # PostgreSQL runs as postgres and must reach DIR/pg; listing DIR stays private.
    chmod o+x,g+x "$dir"
    runuser -u postgres -- test -x "$dir" ||
        Die "user postgres cannot enter $dir; put it under a world-searchable folder such as /tmp"

    # Anything started before a failure is stopped again, so a failed start leaves no server.
    START_DIR=$dir
    trap 'StopMaria "$START_DIR"; StopPostgres "$START_DIR"' EXIT
    pg_port=$(PickFreePort)
    InitPostgres "$dir" "$pg_port"
    StartPostgres "$dir"
    CreatePostgresUser "$dir" "$pg_port"
    maria_port=$(PickFreePort)
    while [[ "$maria_port" == "$pg_port" ]]; do maria_port=$(PickFreePort); done
    InitMaria "$dir"
    StartMaria "$dir" "$maria_port"
    CreateMariaUser "$dir"
    WriteOdbcConfig "$dir" "$pg_port" "$maria_port"
    WriteEnvFile "$dir" "$pg_port" "$maria_port"
    trap - EXIT
    Say "started in $((SECONDS - started)) s: PostgreSQL pid $(cat "$dir/pg.pid") port $pg_port," \
        "MariaDB pid $(cat "$dir/my.pid") port $maria_port; source $dir/env.sh"
}

Main() {
    (($# == 2)) || Usage
    local cmd=$1 dir
    [[ -n "$2" ]] || Usage
    dir=$(realpath -m -- "$2")
    case "$cmd" in
    start) CmdStart "$dir" ;;
    stop)
        StopMaria "$dir"
        StopPostgres "$dir"
        ;;
    stop-pg) StopPostgres "$dir" ;;
    start-pg)
        ((EUID == 0)) || Die "start-pg must run as root"
        StartPostgres "$dir"
        ;;
    stop-maria) StopMaria "$dir" ;;
    start-maria)
        ((EUID == 0)) || Die "start-maria must run as root"
        LoadPorts "$dir"
        StartMaria "$dir" "$VARN_MARIA_PORT"
        ;;
    *) Usage ;;
    esac
}

Main "$@"
