#!/usr/bin/env bash
# The Wine prefix that the wine-labelled tests share: "start PREFIX" makes it
# and starts its one persistent wineserver; "stop PREFIX" ends that server
# (and every Wine process in the prefix) by its process id and removes it.
set -euo pipefail

action=$1
export WINEPREFIX=$2 WINEDEBUG=-all
pidFile=$WINEPREFIX/varn-wineserver.pid

StopServer() {
  local pid
  pid=$(cat "$pidFile" 2>/dev/null) || return 0
  wineserver -k 2>/dev/null || true
  for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  kill -KILL "$pid" 2>/dev/null || true
  rm -f "$pidFile"
}

# Its output goes to a file, so that it holds no pipe of CTest's open.
StartServer() {
  setsid wineserver --foreground --persistent </dev/null >>"$WINEPREFIX/wineserver.log" 2>&1 &
  echo $! >"$pidFile"
}

case $action in
start)
  # A prefix left by an interrupted run is ended and made anew.
  [ -d "$WINEPREFIX" ] && StopServer
  rm -rf "$WINEPREFIX"
  mkdir -m 700 "$WINEPREFIX"
  StartServer
  # No Mono, Gecko or menu entries: console programs need none of them.
  WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe=d" wineboot --init </dev/null >"$WINEPREFIX/wineboot.log" 2>&1 ||
    { cat "$WINEPREFIX/wineboot.log" >&2; exit 1; }
  # A prefix made under a persistent server was seen to run two service
  # managers, and a program then waited 10 s to learn it was no service; a
  # fresh server after the prefix is made runs one.
  StopServer
  StartServer
  wine reg query 'HKLM\SOFTWARE\Microsoft\Windows NT\CurrentVersion' </dev/null >/dev/null 2>&1
  echo "Wine prefix $WINEPREFIX ready, wineserver pid $(cat "$pidFile")"
  ;;
stop)
  [ -d "$WINEPREFIX" ] && StopServer
  rm -rf "$WINEPREFIX"
  ;;
*)
  echo "usage: $0 start|stop PREFIX" >&2
  exit 2
  ;;
esac
