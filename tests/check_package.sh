#!/usr/bin/env bash
# Installs the built SDK into a fresh prefix, builds a small game against the installed
# package with find_package(vondsdk), and runs it.
#
#   check_package.sh <build dir> <cmake> <generator> <c compiler> <c++ compiler> <flags> <linker flags>
set -euo pipefail
build=$1 cmake=$2 generator=$3 cc=$4 cxx=$5 flags=$6 ldflags=$7
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Output only when a step fails: a passing run says one line.
quiet() { "$@" >"$work/step.log" 2>&1 || { cat "$work/step.log"; return 1; }; }

quiet "$cmake" --install "$build" --prefix "$work/prefix"
for f in include/VondProxy.h include/vondsdk_c.h lib/cmake/vondsdk/vondsdkConfig.cmake \
         lib/cmake/vondsdk/vondsdkConfigVersion.cmake lib/cmake/vondsdk/vondsdkTargets.cmake; do
  [ -f "$work/prefix/$f" ] || { echo "not installed: $f"; exit 1; }
done

quiet "$cmake" -S "$here/package" -B "$work/consumer" -G "$generator" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_PREFIX_PATH="$work/prefix" -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" \
  -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$ldflags"
quiet "$cmake" --build "$work/consumer"
# The consumer must run from the installed libraries, not the build tree's. (ldd's output is
# taken whole first: grep -q stops reading at its match, and under pipefail the writer's
# broken pipe would fail the check at random.)
loaded=$(ldd "$work/consumer/vond_package_consumer")
for library in libvondsdk_mt.so $(cd "$work/prefix/lib" && ls libEOSSDK-*.so 2>/dev/null); do
  grep -qF "$work/prefix/lib/$library" <<<"$loaded" || {
    echo "the consumer does not load the installed $library:"; echo "$loaded"; exit 1; }
done
(cd "$work" && VOND_SDK_DATA_DIR="$work/data" "$work/consumer/vond_package_consumer")
