#!/usr/bin/env bash
# Builds the SDK and runs the sample game against the local emulators.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
source scripts/lib.sh

need_packages cmake ninja-build g++ pkg-config libssl-dev nlohmann-json3-dev libeasyloggingpp-dev \
  googletest libgtest-dev

cmake -S . -B build/demo -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVOND_BUILD_TESTS=OFF >/dev/null
cmake --build build/demo --target vond_sample_game

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export VOND_SDK_DATA_DIR="$work/data"
# Until the local backend emulator is part of the demo, the game talks to a closed local port
# so that every backend failure path is shown without touching the network.
export VOND_SDK_ORIGIN="${VOND_SDK_ORIGIN:-https://127.0.0.1:9}"
(cd "$work" && "$root/build/demo/examples/vond_sample_game" "$@")
