#!/usr/bin/env bash
# The Windows legs, run by scripts/test.sh after the Linux one: the x64 DLL and the whole
# test suite under Wine, then the x86 DLL (the one 32-bit games load) and the whole suite
# under 32-bit Wine. Both DLLs' export and import tables are checked. Exits non-zero on any
# failure.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
source scripts/lib.sh

need_packages cmake ninja-build make perl dpkg-dev binutils googletest nlohmann-json3-dev libeasyloggingpp-dev \
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix binutils-mingw-w64-x86-64 binutils-mingw-w64-i686 wine64

# 32-bit Wine (the loader of the x86 leg) comes from Debian's i386 architecture.
if ! grep -qx i386 <<<"$(dpkg --print-foreign-architectures)"; then
  sudo=""
  [ "$(id -u)" = 0 ] || sudo=sudo
  $sudo dpkg --add-architecture i386
fi
need_packages wine wine32:i386

jobs=$(nproc)

# Runs a tiny static i386 program: only a kernel with IA-32 emulation runs 32-bit code, and
# without that Wine cannot run the x86 build either. Prints the reason on failure.
can_run_32bit() {
  local dir rc=0
  dir=$(mktemp -d)
  printf '.globl _start\n_start:\n movl $1, %%eax\n movl $42, %%ebx\n int $0x80\n' >"$dir/probe.s"
  if ! as --32 -o "$dir/probe.o" "$dir/probe.s" || ! ld -m elf_i386 -o "$dir/probe" "$dir/probe.o"; then
    echo "cannot build the i386 probe program (binutils without i386 support)"
    rm -rf "$dir"
    return 1
  fi
  "$dir/probe" 2>"$dir/err" || rc=$?
  if [ "$rc" != 42 ]; then
    echo "this kernel cannot run 32-bit code: a static i386 program gave exit code $rc" \
      "($(head -c 200 "$dir/err"); needs CONFIG_IA32_EMULATION and no ia32_emulation=0)"
    rm -rf "$dir"
    return 1
  fi
  rm -rf "$dir"
}

# Checks that ctest ran exactly the expected number of tests and all passed, from the runner's
# own summary line (an emulator that fails to start a program may still exit 0).
check_count() {
  local log=$1 expected=$2 line
  line=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -n 1 || true)
  if [ -z "$line" ]; then
    echo "no ctest summary in $log"
    return 1
  fi
  local failed total
  failed=$(echo "$line" | sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\1/')
  total=$(echo "$line" | sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\2/')
  if [ "$failed" != 0 ] || [ "$total" != "$expected" ] || [ "$total" = 0 ]; then
    echo "expected $expected passing tests, ctest says: $line"
    return 1
  fi
}

# Under load a Wine process now and then does not end after its test has printed its result
# (seen on both legs, in tests that start no thread of the SDK): a test that runs into its
# time-out gets one more run. A failed test is never rerun.
wine_retry="--repeat after-timeout:2"

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
    -DVOND_DEVSERVER_BINARY="$devserver" \
    -DVOND_DEV_OVERRIDES=ON
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
# One Wine server for the whole run: started and ended per test, a server on its way out now
# and then refused the next test's process, which then failed before printing a line.
WINEPREFIX="$dir64/wineprefix" /usr/lib/wine/wineserver64 -p
set +e
(cd "$dir64" && ctest --output-on-failure -j "$jobs" --timeout 300 $wine_retry) >"$log64" 2>&1
rc64=$?
set -e
WINEPREFIX="$dir64/wineprefix" /usr/lib/wine/wineserver64 -k || true
cat "$log64"
tests64=$(cd "$dir64" && ctest -N | sed -nE 's/^Total Tests: ([0-9]+)/\1/p')
check_count "$log64" "${tests64:-0}" || rc64=1
summary "Windows x64 (Wine)" "$log64" "$start"

# ---- Windows x86 under 32-bit Wine ----
start=$(date +%s)
leg "Windows x86 (32-bit Wine)"
openssl32=$(bash scripts/build-openssl-mingw.sh i686 | tail -n 1)
echo "OpenSSL: $openssl32 ($(( $(date +%s) - start )) s)"
dir32="$build/win32"
log32="$build/win32-ctest.log"
rc32=0
if ! reason=$(can_run_32bit); then
  echo "$reason" | tee "$log32"
  echo "the x86 leg cannot run here: the whole suite of the x86 build needs 32-bit code"
  rc32=1
else
  build_arch i686 "$dir32" "$openssl32"
  # The prefix is a 64-bit one, made by the 64-bit loader (the wrapper makes it on first use,
  # normally during test discovery), so the 32-bit tests run as WoW64 processes.
  "$dir32/vond-wine32" cmd /c exit >/dev/null 2>&1 || true
  WINEPREFIX="$dir32/wineprefix" /usr/lib/wine/wineserver -w || true
  if ! grep -q '^#arch=win64' "$dir32/wineprefix/system.reg"; then
    echo "the x86 leg's Wine prefix is not a 64-bit one: $dir32/wineprefix"
    rc32=1
  fi
  tests32=$(cd "$dir32" && ctest -N | sed -nE 's/^Total Tests: ([0-9]+)/\1/p')
  WINEPREFIX="$dir32/wineprefix" /usr/lib/wine/wineserver -p
  set +e
  (cd "$dir32" && ctest --output-on-failure -j "$jobs" --timeout 300 $wine_retry) >"$log32" 2>&1
  [ $? = 0 ] || rc32=1
  set -e
  WINEPREFIX="$dir32/wineprefix" /usr/lib/wine/wineserver -k || true
  cat "$log32"
  # The same suite as the x64 leg, every test run and passed under the 32-bit loader.
  [ "${tests32:-0}" = "${tests64:-x}" ] || { echo "x86 lists ${tests32:-0} tests, x64 ${tests64:-?}"; rc32=1; }
  check_count "$log32" "${tests32:-0}" || rc32=1
fi
summary "Windows x86 (32-bit Wine)" "$log32" "$start"

if [ "$rc64" != 0 ] || [ "$rc32" != 0 ]; then
  echo "Windows legs failed (x64: $rc64, x86: $rc32)"
  exit 1
fi
