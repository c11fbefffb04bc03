#!/usr/bin/env bash
# Builds the libFuzzer targets of tests/fuzz with clang (ASan and UBSan over the library too),
# replays the committed corpus once, then fuzzes each target for the given seconds (30 by
# default). Prints each target's executions and findings; exits non-zero on any finding.
#
#   scripts/fuzz.sh [seconds]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
source scripts/lib.sh

seconds=${1:-30}
start=$(date +%s)
need_packages cmake ninja-build clang libclang-rt-14-dev libssl-dev nlohmann-json3-dev libeasyloggingpp-dev || {
  record_leg "Fuzz" FAIL - "$start" "packages: $VOND_APT_ERROR"
  exit 1
}

leg "Fuzz (libFuzzer with ASan and UBSan: committed corpus, then ${seconds} s a target)"
dir=build/fuzz
flags="-fsanitize=address,undefined,fuzzer-no-link -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
# Line tables are all a finding's stack trace needs.
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O2 -gline-tables-only -DNDEBUG" \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -gline-tables-only -DNDEBUG" \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
  -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" \
  -DVOND_BUILD_TESTS=OFF -DVOND_BUILD_EXAMPLES=OFF -DVOND_BUILD_BENCH=OFF -DVOND_DEV_OVERRIDES=ON \
  -DVOND_BUILD_FUZZ=ON -DVOND_FUZZ_SECONDS="$seconds" >/dev/null
# Only the fuzz targets: the shared library is not linked with the sanitizer runtimes here.
targets=$(ls tests/fuzz/corpus | sed 's/^/fuzz_/')
# shellcheck disable=SC2086
cmake --build "$dir" -j "$(nproc)" --target $targets
rm -rf "$dir"/fuzz-findings/*/*

log=build/fuzz-ctest.log
set +e
# One fuzzer per core; the replays are quick and name a regression before any new finding.
(lane_lock && cd "$dir" && ASAN_OPTIONS="detect_leaks=1" UBSAN_OPTIONS="print_stacktrace=1" \
  ctest --output-on-failure -j "$(nproc)") 2>&1 | tee "$log"
rc=${PIPESTATUS[0]}
set -e

# Per target: the executions libFuzzer reported at the end of its run (from ctest's record of
# every test's output), and the findings it left.
awk '
  /^[0-9]+\/[0-9]+ Testing: / { name = $3 }
  /stat::number_of_executed_units:/ && name ~ /^fuzz_run_/ { runs[substr(name, 10)] = $2 }
  END { for (t in runs) print t, runs[t] }' "$dir/Testing/Temporary/LastTest.log" | sort >"$dir/fuzz-runs.txt"
for target in $(ls tests/fuzz/corpus); do
  runs=$(awk -v t="$target" '$1 == t { print $2 }' "$dir/fuzz-runs.txt")
  findings=$(find "$dir/fuzz-findings/$target" -type f 2>/dev/null | wc -l)
  echo "fuzz target $target: ${runs:-?} executions in $seconds s, $findings findings"
  [ "$findings" = 0 ] || { ls "$dir/fuzz-findings/$target"; rc=1; }
done
finish_leg "Fuzz (${seconds} s a target)" "$log" "$start" "$rc" || exit 1
