#!/usr/bin/env bash
# Builds varn-odbc, sets up a SQLite data source in a private ODBC
# configuration and a settings file under build-try/, starts the service on
# a free unprivileged port, sends it two statements and shows the row they
# left. The service then keeps running in the foreground until Ctrl-C.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
here=$top/build-try/run
mkdir -p "$here"

scripts/install-deps.sh g++ cmake make unixodbc-dev unixodbc odbcinst libsqliteodbc sqlite3 netcat-openbsd iproute2

# The service reads its settings from a path fixed at build time; this build
# points it into the folder above, so nothing outside the checkout changes.
cmake -S . -B build-try -DVARN_BUILD_TESTS=OFF -DVARN_BUILD_BENCH=OFF -DVARN_SETTINGS_FILE="$here/settings.reg" >/dev/null
cmake --build build-try -j"$(nproc)" >/dev/null

driver=$(dpkg -L libsqliteodbc | grep '/libsqlite3odbc\.so$' | head -n 1)
cat >"$here/odbcinst.ini" <<INI
[SQLite3]
Description=SQLite3 ODBC Driver
Driver=$driver
INI
cat >"$here/odbc.ini" <<INI
[varn_sqlite]
Driver=SQLite3
Database=$here/try.db
INI

# A port nothing listens on, found without connecting to anything.
port=2323
while [ -n "$(ss -Htln "sport = :$port")" ]; do port=$((port + 1)); done
printf -v portHex '%08x' "$port"
cat >"$here/settings.reg" <<REG
REGEDIT4

[HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvorin\\VARN ODBC]
"Data Source"="varn_sqlite"
"TCP Port"=dword:$portHex
"Allow IP"="127.0.0.1"
REG

export ODBCSYSINI=$here ODBCINI=$here/odbc.ini
: >"$here/console.log"
build-try/varn-odbc > >(tee -a "$here/console.log") 2>&1 &
service=$!
trap 'kill $service 2>/dev/null || true' EXIT INT TERM
for _ in $(seq 50); do grep -q '^Listening' "$here/console.log" && break; sleep 0.1; done

printf "CREATE TABLE IF NOT EXISTS notes(id INTEGER, body TEXT);\r\nINSERT INTO notes VALUES(1, 'hello; world');\r\n" |
  nc -q 1 127.0.0.1 "$port"
sleep 0.5
echo
echo "Rows in $here/try.db:"
sqlite3 "$here/try.db" "SELECT * FROM notes;"
cat <<TXT

The service is listening on port $port and admits 127.0.0.1. Send statements from another terminal:
  printf "INSERT INTO notes VALUES(2, 'again');" | nc -q 1 127.0.0.1 $port
  sqlite3 $here/try.db "SELECT * FROM notes;"
Its console lines appear here. Ctrl-C stops it.
TXT
wait "$service"
