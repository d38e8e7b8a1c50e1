#!/usr/bin/env bash
# The Wine prefix that the wine-labelled tests share: "start PREFIX" makes
# it and starts its one wineserver; "stop PREFIX" ends that server (and every
# Wine process in the prefix) by its process id and removes the prefix.
set -euo pipefail

action=$1
prefix=$2
export WINEPREFIX=$prefix WINEDEBUG=-all
pidFile=$prefix/varn-wineserver.pid

StopPrefix() {
  [ -d "$prefix" ] || return 0
  local pid=""
  [ -f "$pidFile" ] && pid=$(cat "$pidFile")
  if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
    # -k ends the prefix's Wine processes with the server; the pid check
    # makes sure it was this suite's server that went.
    wineserver -k 2>/dev/null || true
    for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    if kill -0 "$pid" 2>/dev/null; then
      kill -KILL "$pid"
    fi
  fi
  rm -rf "$prefix"
}

case $action in
start)
  # A prefix left by an interrupted run is ended and made anew.
  StopPrefix
  mkdir -m 700 "$prefix"
  # Persistent, so that the many short Wine runs of the suite share it
  # instead of each starting and ending a server. Its output goes to a file
  # so that it holds no pipe of CTest's open.
  setsid wineserver --foreground --persistent </dev/null >"$prefix/wineserver.log" 2>&1 &
  echo $! >"$pidFile"
  # No Mono, Gecko or menu entries: console programs need none of them.
  if ! WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe=d" wineboot --init </dev/null >"$prefix/wineboot.log" 2>&1; then
    cat "$prefix/wineboot.log" >&2
    exit 1
  fi
  # The registry answers once the prefix is ready.
  wine reg query 'HKLM\SOFTWARE\Microsoft\Windows NT\CurrentVersion' </dev/null >/dev/null 2>&1
  echo "Wine prefix $prefix ready, wineserver pid $(cat "$pidFile")"
  ;;
stop)
  StopPrefix
  ;;
*)
  echo "usage: $0 start|stop PREFIX" >&2
  exit 2
  ;;
esac
