#!/usr/bin/env bash
# Runs one test that replaces the configuration files under strace and checks that every
# rename over a file is followed by a flush of that file's folder (without it a power cut can
# bring back the old file, or lose a new one).
#   check_folder_flush.sh <vond_tests binary>
set -euo pipefail
log=$(mktemp)
trap 'rm -f "$log"' EXIT
# The leak checker cannot stop the world of a traced process: off for this run.
ASAN_OPTIONS="${ASAN_OPTIONS:-} detect_leaks=0" strace -f -e trace=rename,openat,fsync -o "$log" "$1" --gtest_filter=ConfigFiles.KeysWrittenByHandSurviveAnUpdate >/dev/null
awk '
  /rename\(/ && / = 0$/ { split($0, parts, "\""); target = parts[4]; sub(/\/[^\/]*$/, "", target); pending[target] = 1; renames++ }
  /O_DIRECTORY/ && / = [0-9]+$/ { split($0, parts, "\""); folder = parts[2]; fd[$1] = $NF; opened[$1] = folder }
  /fsync\(/ && / = 0$/ { f = $2; sub(/^fsync\(/, "", f); sub(/\).*/, "", f); if (($1 in fd) && fd[$1] == f) { delete pending[opened[$1]]; delete fd[$1] } }
  END {
    if (renames == 0) { print "no file was replaced"; exit 1 }
    n = 0; for (p in pending) { print "folder not flushed after a rename: " p; n++ }
    if (n > 0) exit 1
    print renames " renames, each folder flushed"
  }' "$log"
