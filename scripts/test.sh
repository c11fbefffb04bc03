#!/usr/bin/env bash
# Builds everything and runs every test: the Linux library first, then the Windows DLLs
# (x64 tested under Wine, x86 built and linked). Installs what is missing on Debian 12.
# Exits non-zero on any failure.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
source scripts/lib.sh

need_packages cmake ninja-build g++ pkg-config libssl-dev nlohmann-json3-dev libeasyloggingpp-dev \
  googletest libgtest-dev libcurl4-openssl-dev libbenchmark-dev binutils

jobs=$(nproc)
start=$(date +%s)
leg "Linux x64 (native)"
cmake -S . -B build/linux -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVOND_BUILD_BENCH=ON
cmake --build build/linux -j "$jobs"
(cd build/linux && ctest --output-on-failure -j "$jobs" --timeout 180) | tee build/linux-ctest.log
summary "Linux x64" build/linux-ctest.log "$start"

if [ "${VOND_SKIP_WINDOWS:-0}" != 1 ] && [ -f scripts/test-windows.sh ]; then
  bash scripts/test-windows.sh
fi
