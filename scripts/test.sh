#!/usr/bin/env bash
# Builds everything and runs every test in six legs: Linux, under both sanitizers, the
# Windows x64 DLL under Wine, the Windows x86 DLL under 32-bit Wine, and the fuzz targets
# (committed corpus, then about 30 s each). Installs what is missing on Debian 12.
#
# A leg's suite runs while the next leg builds (the suites leave most of the CPU idle: they wait
# on exchanges, deadlines and other processes); one suite runs at a time (the test lane), and
# the Linux suites' output is printed once they are all over.
#
# Ends with one table: each leg, PASS / FAIL / NOT RUN, its test count, its time (from its build
# to the end of its suite), and why a leg was not run. Exits non-zero when any leg failed. The
# x86 leg's tests need a machine that runs 32-bit code; elsewhere they are NOT RUN, which fails
# nothing unless VOND_REQUIRE_X86=1.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
source scripts/lib.sh

mkdir -p build
export VOND_LEG_RESULTS="$root/build/legs.tsv"
: >"$VOND_LEG_RESULTS"
export VOND_TEST_LANE="$root/build/.test-lane"
jobs=$(nproc)
suite_pids=()
suite_logs=()

# Builds one Linux configuration, then runs its suite in the background once the test lane is
# free. Arguments: the leg's name, the build folder, the ctest log, the ctest time-out, extra
# ctest arguments, then cmake's arguments.
linux_leg() {
  local name=$1 dir=$2 log=$3 timeout=$4 ctest_extra=$5 start
  shift 5
  start=$(date +%s)
  leg "$name"
  if ! cmake -S . -B "$dir" -G Ninja "$@" || ! cmake --build "$dir" -j "$jobs"; then
    record_leg "$name" FAIL - "$start" "build failed"
    return 1
  fi
  echo "$name: built; its suite runs beside the next build (log: $log)"
  rm -f "$log" "$log.summary"
  (
    rc=0
    lane_lock
    # shellcheck disable=SC2086
    (cd "$dir" && ctest --output-on-failure -j "$jobs" --timeout "$timeout" $ctest_extra) >"$log" 2>&1 || rc=1
    finish_leg "$name" "$log" "$start" "$rc" >"$log.summary"
  ) &
  suite_pids+=("$!")
  suite_logs+=("$log")
}

# Waits for the Linux suites and prints their logs in the order of the legs.
finish_linux_suites() {
  local i rc=0
  for i in "${!suite_pids[@]}"; do
    wait "${suite_pids[$i]}" || rc=1
    echo
    echo "==== suite: ${suite_logs[$i]} ===="
    cat "${suite_logs[$i]}" 2>/dev/null || echo "no log"
    cat "${suite_logs[$i]}.summary" 2>/dev/null || true
  done
  return "$rc"
}

status=0
start=$(date +%s)
if ! need_packages cmake ninja-build g++ pkg-config util-linux libssl-dev nlohmann-json3-dev libeasyloggingpp-dev \
    googletest libgtest-dev libcurl4-openssl-dev binutils libcpp-httplib-dev libsqlite3-dev mono-mcs mono-runtime tinyproxy; then
  record_leg "Linux x64" FAIL - "$start" "packages: $VOND_APT_ERROR"
  print_leg_table "$VOND_LEG_RESULTS"
  exit 1
fi

# Debug information as line tables only: stack traces (sanitizers, crashes) still name files
# and lines, and the builds take about an eighth less.
line_tables=(-DCMAKE_C_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG")
# The fault matrix plays 16 of its cells here, spread over every state file's row (all of them,
# about 15 minutes on a loaded 2-core machine, with VOND_FAULT_MATRIX_CELLS=all).
VOND_FAULT_MATRIX_CELLS=${VOND_FAULT_MATRIX_CELLS:-16} \
  linux_leg "Linux x64" build/linux build/linux-ctest.log 180 "" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo "${line_tables[@]}" -DVOND_BUILD_BENCH=ON -DVOND_DEV_OVERRIDES=ON || status=1

# The same suite under the sanitizers: data races (the SDK's work runs on six workers, the
# game's threads and EOS ticks), then memory errors and undefined behaviour.
# Every step runs several times slower there: the many-process tests play fewer trials (the
# native leg plays them all).
export VOND_KILL_TRIALS=14 VOND_KILL_MATRIX_TRIALS=48 VOND_PROCESS_END_RUNS=40 VOND_FAULT_MATRIX_CELLS=8
for sanitizer in thread address; do
  flags="-fsanitize=${sanitizer} -fno-omit-frame-pointer"
  [ "$sanitizer" = address ] && flags="$flags -fsanitize=undefined -fno-sanitize-recover=undefined"
  TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$root/tests/tsan-openssl.supp" \
    ASAN_OPTIONS="detect_leaks=1" \
    linux_leg "Linux x64 (${sanitizer} sanitizer)" "build/linux-${sanitizer}" \
    "build/linux-${sanitizer}-ctest.log" 300 "-E exported_symbols" \
    -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_FLAGS_DEBUG=-g1 -DCMAKE_CXX_FLAGS_DEBUG=-g1 -DVOND_BUILD_EXAMPLES=OFF \
    -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags" \
    -DCMAKE_SHARED_LINKER_FLAGS="$flags" -DVOND_DEV_OVERRIDES=ON || status=1
done

# Runs a script that records its own legs; one that fails before recording anything still
# gets a row. Arguments: the row's name, then the command.
script_legs() {
  local name=$1 before start
  shift
  before=$(wc -l <"$VOND_LEG_RESULTS")
  start=$(date +%s)
  "$@" && return 0
  [ "$(wc -l <"$VOND_LEG_RESULTS")" -gt "$before" ] ||
    record_leg "$name" FAIL - "$start" "stopped before its tests (see the output above)"
  return 1
}

unset VOND_KILL_TRIALS VOND_KILL_MATRIX_TRIALS VOND_PROCESS_END_RUNS VOND_FAULT_MATRIX_CELLS
if [ "${VOND_SKIP_WINDOWS:-0}" != 1 ]; then
  script_legs "Windows" bash scripts/test-windows.sh || status=1
fi
if [ "${VOND_SKIP_FUZZ:-0}" != 1 ]; then
  script_legs "Fuzz" bash scripts/fuzz.sh "${VOND_FUZZ_SECONDS:-30}" || status=1
fi

finish_linux_suites || status=1
print_leg_table "$VOND_LEG_RESULTS"
exit "$status"
