#!/usr/bin/env bash
# Throwaway PostgreSQL 15 and MariaDB servers for the tests, on 127.0.0.1 and
# unix sockets inside DIR, with a private unixODBC configuration.
#
# Usage: dbservers.sh start|stop|pg-stop|pg-start DIR
#   start  (as root) installs missing packages, creates and starts both
#          servers in the fresh folder DIR, writes DIR/odbcinst.ini,
#          DIR/odbc.ini and DIR/env.sh; a failed start stops what it started
#   stop   stops both servers by their recorded process ids
#   pg-stop, pg-start  stop PostgreSQL (a fast shutdown) and start it again
#          on its port: an outage, for the tests
# The caller creates DIR (somewhere user postgres can enter) and removes it.
set -euo pipefail

readonly DB_USER=varn DB_PASSWORD=varnpw DB_NAME=varn
readonly PG_BIN=/usr/lib/postgresql/15/bin

Die() { echo "dbservers: $*" >&2; exit 1; }

# A free port outside the kernel's ephemeral range, which no bind to port 0
# ever takes, random so that parallel runs rarely collide.
FreePort() {
    local low high port
    read -r low high </proc/sys/net/ipv4/ip_local_port_range
    for _ in $(seq 200); do
        if ((low > 11000)); then port=$((10000 + RANDOM % (low - 10000)))
        elif ((high < 64535)); then port=$((high + 1 + RANDOM % (65535 - high)))
        else Die "the ephemeral port range $low-$high leaves no port to hold"; fi
        [[ -z "$(ss -Htln "sport = :$port")" ]] && { echo "$port"; return; }
    done
    Die "found no free port"
}

# Stops the process in PIDFILE, if it is one of ours (its command line names
# DIR), with SIGNAL, then SIGKILL after 20 s.
StopPid() {
    local pidfile=$1 dir=$2 signal=$3 pid
    pid=$(head -n1 "$pidfile" 2>/dev/null) || return 0
    Ours() { tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null | grep -q -- "$dir/"; }
    Ours || return 0
    kill "-$signal" "$pid" 2>/dev/null || true
    for _ in $(seq 200); do Ours || break; sleep 0.1; done
    Ours && kill -KILL "$pid" 2>/dev/null
    # A killed postmaster stays a zombie until reaped; its pid must be gone
    # before anything starts over it.
    for _ in $(seq 100); do [[ -e "/proc/$pid" ]] || break; sleep 0.1; done
    rm -f "$pidfile"
}

StopAll() {
    StopPid "$1/pgb/pgbouncer.pid" "$1" INT
    StopPid "$1/my.pid" "$1" TERM
    # Fast shutdown: connected sessions are cut off, not waited for.
    StopPid "$1/pg/postmaster.pid" "$1" INT
}

StartPostgres() {
    local dir=$1 port=$2
    install -d -o postgres -g postgres -m 700 "$dir/pg"
    install -d -o postgres -g postgres -m 755 "$dir/pgsock"
    install -o postgres -g postgres -m 644 /dev/null "$dir/pg.log"
    runuser -u postgres -- "$PG_BIN/initdb" -D "$dir/pg" -U postgres -E UTF8 --locale=C.UTF-8 \
        --auth-local=peer --auth-host=scram-sha-256 >"$dir/pg-initdb.log" 2>&1 || Die "initdb: $(cat "$dir/pg-initdb.log")"
    # The test account signs in with its password over the Unix socket too.
    sed -i "1i local $DB_NAME $DB_USER scram-sha-256" "$dir/pg/pg_hba.conf"
    # Throwaway data: durability is traded for speed.
    cat >>"$dir/pg/postgresql.conf" <<EOF
listen_addresses = '127.0.0.1'
port = $port
unix_socket_directories = '$dir/pgsock'
fsync = off
synchronous_commit = off
full_page_writes = off
shared_buffers = 32MB
max_prepared_transactions = 4
EOF
    runuser -u postgres -- "$PG_BIN/pg_ctl" -D "$dir/pg" -l "$dir/pg.log" -w start >/dev/null ||
        Die "PostgreSQL did not start: $(tail -n 20 "$dir/pg.log")"
    runuser -u postgres -- psql -X -q -h "$dir/pgsock" -p "$port" -U postgres -d postgres -v ON_ERROR_STOP=1 \
        -c "CREATE ROLE $DB_USER LOGIN PASSWORD '$DB_PASSWORD'" -c "CREATE DATABASE $DB_NAME OWNER $DB_USER" \
        -c "CREATE ROLE ${DB_USER}_member" -c "GRANT ${DB_USER}_member TO $DB_USER"
    # dblink keeps connections of its own in a session, which a reset
    # cannot see; only a superuser may create it.
    runuser -u postgres -- psql -X -q -h "$dir/pgsock" -p "$port" -U postgres -d "$DB_NAME" -v ON_ERROR_STOP=1 \
        -c "CREATE EXTENSION dblink"
}

StartMaria() {
    local dir=$1 port=$2
    mkdir -p "$dir/my" "$dir/mytmp"
    # root@localhost gets in only through the socket as the OS user root.
    mariadb-install-db --no-defaults --datadir="$dir/my" --user=root --auth-root-authentication-method=socket \
        --skip-test-db >"$dir/my-install.log" 2>&1 || Die "mariadb-install-db: $(cat "$dir/my-install.log")"
    setsid mariadbd --no-defaults --user=root --datadir="$dir/my" --tmpdir="$dir/mytmp" --socket="$dir/my.sock" \
        --port="$port" --bind-address=127.0.0.1 --pid-file="$dir/my.pid" --log-error="$dir/my.err" \
        --skip-name-resolve --innodb-buffer-pool-size=32M --innodb-flush-log-at-trx-commit=0 --skip-log-bin \
        </dev/null >/dev/null 2>&1 &
    echo $! >"$dir/my.pid"
    for _ in $(seq 300); do
        mariadb --no-defaults --socket="$dir/my.sock" -uroot -e 'SELECT 1' >/dev/null 2>&1 && break
        kill -0 "$(cat "$dir/my.pid")" 2>/dev/null || Die "MariaDB exited: $(tail -n 20 "$dir/my.err")"
        sleep 0.2
    done
    mariadb --no-defaults --socket="$dir/my.sock" -uroot <<EOF
CREATE DATABASE $DB_NAME;
CREATE USER '$DB_USER'@'localhost' IDENTIFIED BY '$DB_PASSWORD';
CREATE USER '$DB_USER'@'127.0.0.1' IDENTIFIED BY '$DB_PASSWORD';
GRANT ALL PRIVILEGES ON $DB_NAME.* TO '$DB_USER'@'localhost';
GRANT ALL PRIVILEGES ON $DB_NAME.* TO '$DB_USER'@'127.0.0.1';
EOF
}

# PgBouncer in front of PostgreSQL, pooling by session, run as postgres (it
# refuses root); the account's password is in its file as plain text.
StartPgbouncer() {
    local dir=$1 pg_port=$2 port=$3
    install -d -o postgres -g postgres -m 700 "$dir/pgb"
    cat >"$dir/pgb/pgbouncer.ini" <<EOF
[databases]
$DB_NAME = host=127.0.0.1 port=$pg_port dbname=$DB_NAME
[pgbouncer]
listen_addr = 127.0.0.1
listen_port = $port
unix_socket_dir =
auth_type = scram-sha-256
auth_file = $dir/pgb/users.txt
pool_mode = session
logfile = $dir/pgb/pgbouncer.log
pidfile = $dir/pgb/pgbouncer.pid
ignore_startup_parameters = extra_float_digits
EOF
    printf '"%s" "%s"\n' "$DB_USER" "$DB_PASSWORD" >"$dir/pgb/users.txt"
    chown postgres:postgres "$dir/pgb/pgbouncer.ini" "$dir/pgb/users.txt"
    runuser -u postgres -- pgbouncer -d "$dir/pgb/pgbouncer.ini" >/dev/null 2>&1
    for _ in $(seq 50); do
        [[ -s "$dir/pgb/pgbouncer.pid" && -n "$(ss -Htln "sport = :$port")" ]] && return
        sleep 0.1
    done
    Die "PgBouncer did not start: $(tail -n 20 "$dir/pgb/pgbouncer.log")"
}

Library() {
    dpkg -L "$1" | grep -m1 "/$2\$" || Die "package $1 ships no $2"
}

# Drivers by absolute path, with psqlODBC's logging off (Debian's entry
# writes a file under /tmp on every connection). No credentials are stored.
# The *_down sources name a port where nothing listens: a server that is down.
WriteOdbcConfig() {
    local dir=$1 pg_port=$2 maria_port=$3 down_port=$4 pgb_port=$5
    cat >"$dir/odbcinst.ini" <<EOF
[PostgreSQL ANSI]
Driver=$(Library odbc-postgresql psqlodbca.so)
CommLog=0
Debug=0

[MariaDB]
Driver=$(Library odbc-mariadb libmaodbc.so)

[SQLite3]
Driver=$(Library libsqliteodbc libsqlite3odbc.so)
EOF
    cat >"$dir/odbc.ini" <<EOF
[varn_pg]
Driver=PostgreSQL ANSI
Servername=127.0.0.1
Port=$pg_port
Database=$DB_NAME

[varn_pg_unix]
Driver=PostgreSQL ANSI
Servername=$dir/pgsock
Port=$pg_port
Database=$DB_NAME

[varn_pgbouncer]
Driver=PostgreSQL ANSI
Servername=127.0.0.1
Port=$pgb_port
Database=$DB_NAME

[varn_pg_down]
Driver=PostgreSQL ANSI
Servername=127.0.0.1
Port=$down_port
Database=$DB_NAME

[varn_maria]
Driver=MariaDB
SERVER=127.0.0.1
PORT=$maria_port
DATABASE=$DB_NAME

[varn_maria_down]
Driver=MariaDB
SERVER=127.0.0.1
PORT=$down_port
DATABASE=$DB_NAME

[varn_sqlite]
Driver=SQLite3
Database=$dir/test.db
EOF
    cat >"$dir/env.sh" <<EOF
# Environment for tests against the servers in this folder; source it.
export ODBCSYSINI='$dir' ODBCINI='$dir/odbc.ini' VARN_SERVERS_DIR='$dir'
export VARN_DB_USER=$DB_USER VARN_DB_PASSWORD=$DB_PASSWORD VARN_DB_NAME=$DB_NAME
export VARN_DSN_PG=varn_pg VARN_DSN_MARIA=varn_maria VARN_DSN_SQLITE=varn_sqlite
export PGHOST=127.0.0.1 PGPORT=$pg_port PGUSER=$DB_USER PGPASSWORD=$DB_PASSWORD PGDATABASE=$DB_NAME
export VARN_PG_PORT=$pg_port VARN_MARIA_PORT=$maria_port VARN_MARIA_SOCKET='$dir/my.sock'
export VARN_MARIA_DATABASE=$DB_NAME VARN_SQLITE_DB='$dir/test.db'
export VARN_DBSERVERS='$(realpath "$0")'
EOF
}

(($# == 2)) || Die "usage: dbservers.sh start|stop|pg-stop|pg-start DIR"
dir=$(realpath -m -- "$2")
case $1 in
start)
    ((EUID == 0)) || Die "start must run as root"
    [[ -d "$dir" && ! -e "$dir/pg" ]] || Die "$dir must be a fresh folder"
    "$(dirname "$0")/../../scripts/install-deps.sh" postgresql mariadb-server mariadb-client odbc-postgresql \
        odbc-mariadb unixodbc odbcinst libsqliteodbc sqlite3 iproute2 pgbouncer
    chmod go+x "$dir"
    trap 'StopAll "$dir"' EXIT
    pg_port=$(FreePort)
    StartPostgres "$dir" "$pg_port"
    maria_port=$(FreePort)
    StartMaria "$dir" "$maria_port"
    pgb_port=$(FreePort)
    StartPgbouncer "$dir" "$pg_port" "$pgb_port"
    WriteOdbcConfig "$dir" "$pg_port" "$maria_port" "$(FreePort)" "$pgb_port"
    trap - EXIT
    echo "dbservers: PostgreSQL on $pg_port (PgBouncer on $pgb_port), MariaDB on $maria_port; source $dir/env.sh"
    ;;
stop) StopAll "$dir" ;;
pg-stop) StopPid "$dir/pg/postmaster.pid" "$dir" INT ;;
pg-start) runuser -u postgres -- "$PG_BIN/pg_ctl" -D "$dir/pg" -l "$dir/pg.log" -w start >/dev/null ;;
*) Die "usage: dbservers.sh start|stop|pg-stop|pg-start DIR" ;;
esac
