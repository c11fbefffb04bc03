#!/usr/bin/env bash
# The Windows legs, run by scripts/test.sh after the Linux one: the x64 DLL and the whole
# test suite under Wine, then the x86 DLL (the one 32-bit games load) built and linked.
# Both DLLs' export and import tables are checked. Exits non-zero on any failure.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
source scripts/lib.sh

need_packages cmake ninja-build make perl dpkg-dev binutils googletest nlohmann-json3-dev libeasyloggingpp-dev \
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix binutils-mingw-w64-x86-64 binutils-mingw-w64-i686 wine64

jobs=$(nproc)
build=$(realpath -m "${VOND_WINDOWS_BUILD_DIR:-build}")

# The cross compilers must never see /usr/include (glibc headers): the two header-only
# dependencies get a folder of their own.
headers="$build/win-headers"
mkdir -p "$headers"
cp -a /usr/include/nlohmann "$headers/"
cp -a /usr/include/easylogging++.h /usr/include/easylogging++.cc "$headers/"

# Configures and builds one architecture; prints nothing but the build's own output.
build_arch() {
  local arch=$1 dir=$2 openssl=$3
  cmake -S . -B "$dir" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw-$arch.cmake" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DOPENSSL_ROOT_DIR="$openssl" -DOPENSSL_USE_STATIC_LIBS=ON \
    -DVOND_HEADER_DIR="$headers" \
    -DVOND_GTEST_SOURCE_DIR=/usr/src/googletest \
    -DVOND_DEVSERVER_BINARY="$devserver"
  cmake --build "$dir" -j "$jobs"
}

# The end-to-end tests talk to the Linux build's backend emulator, which a CTest fixture
# starts on this host (a Windows program under Wine cannot start a Linux one).
devserver="${VOND_DEVSERVER_BINARY:-$root/build/linux/tools/devserver/vond-devserver}"
if [ ! -x "$devserver" ]; then
  echo "no $devserver: run the Linux leg first (scripts/test.sh); end-to-end tests are not listed"
  devserver=""
fi

# ---- Windows x64 under Wine ----
start=$(date +%s)
leg "Windows x64 (Wine)"
openssl64=$(bash scripts/build-openssl-mingw.sh x86_64 | tail -n 1)
echo "OpenSSL: $openssl64 ($(( $(date +%s) - start )) s)"
dir64="$build/win64"
build_arch x86_64 "$dir64" "$openssl64"
# A new prefix takes a while to come up, and tests started in parallel on a half-made
# prefix would race each other; bring it up once, then wait for its server to settle.
if [ ! -f "$dir64/wineprefix/system.reg" ]; then
  echo "initialising the Wine prefix"
  "$dir64/vond-wine64" wineboot --init >/dev/null 2>&1 || true
  WINEPREFIX="$dir64/wineprefix" /usr/lib/wine/wineserver64 -w || true
fi
log64="$build/win64-ctest.log"
set +e
(cd "$dir64" && ctest --output-on-failure -j "$jobs" --timeout 300) >"$log64" 2>&1
rc64=$?
set -e
cat "$log64"
summary "Windows x64 (Wine)" "$log64" "$start"

# ---- Windows x86: build and link only ----
start=$(date +%s)
leg "Windows x86 (build and link only)"
openssl32=$(bash scripts/build-openssl-mingw.sh i686 | tail -n 1)
echo "OpenSSL: $openssl32 ($(( $(date +%s) - start )) s)"
dir32="$build/win32"
build_arch i686 "$dir32" "$openssl32"
log32="$build/win32-ctest.log"
# Only the checks that run on the build host: the export and import tables.
set +e
(cd "$dir32" && ctest --output-on-failure -R '^dll_exports$') >"$log32" 2>&1
rc32=$?
set -e
cat "$log32"
tests32=$(cd "$dir64" && ctest -N -E '^dll_exports$' | sed -nE 's/^Total Tests: ([0-9]+)/\1/p')
echo "32-bit code cannot run on this machine (the kernel has no 32-bit support, not even"
echo "under Wine): vond_tests.exe with its ${tests32:-?} tests is built and linked, not run;"
echo "only the DLL's export and import tables were checked."
summary "Windows x86 (table checks only)" "$log32" "$start"

if [ "$rc64" != 0 ] || [ "$rc32" != 0 ]; then
  echo "Windows legs failed (x64: $rc64, x86: $rc32)"
  exit 1
fi
