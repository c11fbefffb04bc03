#!/usr/bin/env bash
# Builds everything and runs every test in six legs: Linux, under both sanitizers, the
# Windows x64 DLL under Wine, the Windows x86 DLL under 32-bit Wine, and the fuzz targets
# (committed corpus, then about 30 s each). Installs what is missing on Debian 12.
# Exits non-zero on any failure.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
source scripts/lib.sh

need_packages cmake ninja-build g++ pkg-config libssl-dev nlohmann-json3-dev libeasyloggingpp-dev \
  googletest libgtest-dev libcurl4-openssl-dev binutils \
  libcpp-httplib-dev libsqlite3-dev tinyproxy

jobs=$(nproc)
start=$(date +%s)
leg "Linux x64 (native)"
cmake -S . -B build/linux -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVOND_BUILD_BENCH=ON -DVOND_DEV_OVERRIDES=ON
cmake --build build/linux -j "$jobs"
(cd build/linux && ctest --output-on-failure -j "$jobs" --timeout 180) | tee build/linux-ctest.log
summary "Linux x64" build/linux-ctest.log "$start"

# The same suite under the sanitizers: data races (the SDK's work runs on six workers, the
# game's threads and EOS ticks), then memory errors and undefined behaviour.
for sanitizer in thread address; do
  start=$(date +%s)
  leg "Linux x64 (${sanitizer} sanitizer)"
  flags="-fsanitize=${sanitizer} -fno-omit-frame-pointer"
  [ "$sanitizer" = address ] && flags="$flags -fsanitize=undefined -fno-sanitize-recover=undefined"
  cmake -S . -B "build/linux-${sanitizer}" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVOND_BUILD_EXAMPLES=OFF \
    -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags" \
    -DCMAKE_SHARED_LINKER_FLAGS="$flags" -DVOND_DEV_OVERRIDES=ON
  cmake --build "build/linux-${sanitizer}" -j "$jobs"
  (cd "build/linux-${sanitizer}" && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
    ASAN_OPTIONS="detect_leaks=1" ctest --output-on-failure -j "$jobs" --timeout 300 -E exported_symbols) \
    | tee "build/linux-${sanitizer}-ctest.log"
  summary "Linux x64 ${sanitizer} sanitizer" "build/linux-${sanitizer}-ctest.log" "$start"
done

status=0
if [ "${VOND_SKIP_WINDOWS:-0}" != 1 ] && [ -f scripts/test-windows.sh ]; then
  bash scripts/test-windows.sh || status=1
fi
if [ "${VOND_SKIP_FUZZ:-0}" != 1 ]; then
  bash scripts/fuzz.sh "${VOND_FUZZ_SECONDS:-30}" || status=1
fi
exit "$status"
