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
    rm -rf "$dir/state" "$dir/server.exit" "$dir/server.pid"
    # Its own session and no shared descriptors: ctest must not wait on the server's output.
    # A small shell stays behind the server to write down how it ended, so that a server
    # that dies during the run is reported with its status and its standard error.
    here=$(cd "$(dirname "$0")" && pwd)
    export TSAN_OPTIONS="${TSAN_OPTIONS:-} suppressions=$here/tsan.supp"
    setsid bash -c '"$@" & echo $! >"$0/server.pid.tmp"; mv "$0/server.pid.tmp" "$0/server.pid"
                    wait $!; echo $? >"$0/server.exit"' \
      "$dir" "$binary" --port 0 --state-dir "$dir/state" --config "$config" --watch-pid "$PPID" \
      </dev/null >"$dir/server.out" 2>"$dir/server.err" &
    for _ in $(seq 1 100); do
      [ -f "$dir/server.pid" ] && break
      sleep 0.05
    done
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
    # A server that ended before it was asked to leaves its status behind: the run lost its
    # backend part-way, so say why, and fail.
    if [ -f "$dir/server.exit" ]; then
      echo "vond-devserver ended during the run with status $(cat "$dir/server.exit"); its standard error:" >&2
      tail -n 200 "$dir/server.err" >&2 || true
      rm -f "$dir/server.pid" "$dir/endpoint"
      exit 1
    fi
    stop_server
    # Sanitizer reports that did not end the server still fail the run.
    if grep -qE 'ThreadSanitizer|AddressSanitizer|LeakSanitizer|runtime error:' "$dir/server.err" 2>/dev/null; then
      echo "vond-devserver reported faults:" >&2
      tail -n 200 "$dir/server.err" >&2
      exit 1
    fi
    ;;
  *)
    echo "usage: $0 start DIR BINARY CONFIG | stop DIR" >&2
    exit 2
    ;;
esac
