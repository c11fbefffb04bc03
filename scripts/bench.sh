#!/usr/bin/env bash
# Builds and runs the benchmarks: the per-frame price of UpdateSDKEvent (against the EOS
# stand-in), the transport (the SDK's HTTP client against libcurl on loopback), then event
# posting (what PostEvent costs the game's thread), and the event outbox against a local
# vond-devserver (a burst, then a journalled backlog over a 50 ms link). Pass --quick for a short run. Exits
# non-zero when a request fails; each benchmark's last line says whether it met its target.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
source scripts/lib.sh

need_packages cmake ninja-build g++ pkg-config libssl-dev nlohmann-json3-dev libeasyloggingpp-dev \
  googletest libgtest-dev libcurl4-openssl-dev ca-certificates nginx-light

cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DVOND_BUILD_BENCH=ON \
  -DVOND_BUILD_TESTS=OFF -DVOND_BUILD_EXAMPLES=OFF -DVOND_DEV_OVERRIDES=ON
cmake --build build/bench -j "$(nproc)" --target vond_update_bench vond_transport_bench vond_track_bench \
  vond_event_bench
build/bench/bench/vond_update_bench "$@"
build/bench/bench/vond_transport_bench "$@"
build/bench/bench/vond_track_bench "$@"
# The same with the data folder in memory: what the call costs apart from the disk.
[ -d /dev/shm ] && build/bench/bench/vond_track_bench "$@" --dir /dev/shm
build/bench/bench/vond_event_bench "$@"
build/bench/bench/vond_event_bench "$@" --backlog
build/bench/bench/vond_event_bench "$@" --game-threads
