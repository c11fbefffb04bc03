#!/usr/bin/env bash
# Starts and stops the vond-devserver that a CTest fixture shares between tests.
#   devserver-fixture.sh start DIR BINARY CONFIG   # writes DIR/endpoint once it serves
#   devserver-fixture.sh stop DIR
# DIR/endpoint holds "origin=..." and "ca=..." lines; tests find it through the
# VOND_DEVSERVER_ENDPOINT variable. The server also exits by itself when the process that
# ran "start" (ctest) is gone, so an interrupted run leaves nothing behind.
set -euo pipefail
action=$1
dir=$2

stop_server() {
  local pidfile="$dir/server.pid"
  [ -f "$pidfile" ] || return 0
  local pid
  pid=$(cat "$pidfile")
  if kill -0 "$pid" 2>/dev/null; then
    kill -TERM "$pid" 2>/dev/null || true
    for _ in $(seq 1 100); do
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null || true
  fi
  rm -f "$pidfile" "$dir/endpoint"
}

case "$action" in
  start)
    binary=$3
    config=$4
    mkdir -p "$dir"
    stop_server
    rm -rf "$dir/state"
    # Its own session and no shared descriptors: ctest must not wait on the server's output.
    setsid "$binary" --port 0 --state-dir "$dir/state" --config "$config" --watch-pid "$PPID" \
      </dev/null >"$dir/server.out" 2>"$dir/server.err" &
    echo $! >"$dir/server.pid"
    for _ in $(seq 1 300); do
      line=$(grep -m1 '^vond-devserver listening ' "$dir/server.out" 2>/dev/null || true)
      if [ -n "$line" ]; then
        origin=$(sed -E 's/.* origin=([^ ]+).*/\1/' <<<"$line")
        ca=$(sed -E 's/.* ca=([^ ]+).*/\1/' <<<"$line")
        printf 'origin=%s\nca=%s\n' "$origin" "$ca" >"$dir/endpoint.tmp"
        mv "$dir/endpoint.tmp" "$dir/endpoint"
        echo "vond-devserver serving at $origin (pid $(cat "$dir/server.pid"))"
        exit 0
      fi
      if ! kill -0 "$(cat "$dir/server.pid")" 2>/dev/null; then
        echo "vond-devserver did not start:" >&2
        cat "$dir/server.err" >&2
        exit 1
      fi
      sleep 0.1
    done
    echo "vond-devserver printed no start line within 30 s" >&2
    stop_server
    exit 1
    ;;
  stop)
    stop_server
    ;;
  *)
    echo "usage: $0 start DIR BINARY CONFIG | stop DIR" >&2
    exit 2
    ;;
esac
