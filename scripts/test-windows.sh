#!/usr/bin/env bash
# The Windows legs, run by scripts/test.sh after the Linux ones, each on its own:
#
#  - x64: the x64 DLL and the whole test suite under Wine. Needs nothing of i386.
#  - x86: the x86 DLL (the one 32-bit games load) is always built, and both DLLs' export and
#    import tables are checked; the tests are then built and the whole suite runs under 32-bit
#    Wine when this machine can run 32-bit code and wine32:i386 can be installed. A machine
#    that runs 64-bit user code only runs the x86 journeys in an emulated machine instead
#    (scripts/x86-vm.sh). When neither can be had, the leg is NOT RUN with the reason, which
#    fails nothing unless VOND_REQUIRE_X86=1.
#
# Exits non-zero when a leg failed (or was not run while VOND_REQUIRE_X86=1). The x86 leg runs
# after the x64 one and is the only step that adds the i386 architecture.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
source scripts/lib.sh
source scripts/x86-vm.sh

jobs=$(nproc)
build=$(realpath -m "${VOND_WINDOWS_BUILD_DIR:-build}")
# A test that fails or runs into its time-out under Wine gets up to two more runs, and the
# leg's row names every test that needed one (the failed runs' output stays in the log). Most
# causes found were Wine's own (its system processes holding a test's output pipe, a server on
# its way out refusing a process, its process termination deadlocking on its own lock); one is
# not known yet (a login that, now and then under Wine, never reaches EOS). The Linux legs,
# sanitizers included, never rerun anything.
wine_retry="--repeat until-pass:3"

# Runs a tiny static i386 program: only a kernel with IA-32 emulation runs 32-bit code, and
# without that Wine cannot run the x86 build either. Prints the reason on failure.
can_run_32bit() {
  local dir rc=0
  dir=$(mktemp -d)
  printf '.globl _start\n_start:\n movl $1, %%eax\n movl $42, %%ebx\n int $0x80\n' >"$dir/probe.s"
  if ! as --32 -o "$dir/probe.o" "$dir/probe.s" 2>/dev/null || ! ld -m elf_i386 -o "$dir/probe" "$dir/probe.o"; then
    echo "cannot build the i386 probe program (binutils without i386 support)"
    rm -rf "$dir"
    return 1
  fi
  "$dir/probe" 2>"$dir/err" || rc=$?
  if [ "$rc" != 42 ]; then
    echo "this machine cannot run 32-bit code: a static i386 program gave exit code $rc" \
      "($(head -c 120 "$dir/err" | tr '\n' ' '))"
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

# The cross compilers must never see /usr/include (glibc headers): the two header-only
# dependencies get a folder of their own.
prepare_headers() {
  headers="$build/win-headers"
  mkdir -p "$headers"
  cp -a /usr/include/nlohmann "$headers/"
  cp -a /usr/include/easylogging++.h /usr/include/easylogging++.cc "$headers/"
}

# Builds one architecture's static OpenSSL, then the DLL, the stand-in and every test program,
# listing the tests under Wine as they are linked (VOND_TEST_DISCOVERY_MODE=PRE_TEST leaves that
# to ctest, for a build whose code this machine cannot run). Further arguments name the only
# targets to build. Prints the build's own output.
build_arch() {
  local arch=$1 dir=$2 start openssl
  shift 2
  start=$(date +%s)
  openssl=$(bash scripts/build-openssl-mingw.sh "$arch" | tail -n 1) || return 1
  echo "OpenSSL: $openssl ($(( $(date +%s) - start )) s)"
  cmake -S . -B "$dir" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw-$arch.cmake" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" \
    -DOPENSSL_ROOT_DIR="$openssl" -DOPENSSL_USE_STATIC_LIBS=ON \
    -DVOND_HEADER_DIR="$headers" \
    -DVOND_GTEST_SOURCE_DIR=/usr/src/googletest \
    -DVOND_DEVSERVER_BINARY="$devserver" \
    -DVOND_TEST_DISCOVERY_MODE="${VOND_TEST_DISCOVERY_MODE:-POST_BUILD}" \
    -DVOND_DEV_OVERRIDES=ON || return 1
  if [ $# -gt 0 ]; then
    cmake --build "$dir" -j "$jobs" --target "$@"
  else
    cmake --build "$dir" -j "$jobs"
  fi
}

# Installs a leg's packages and builds its architecture; a failure is the leg's, recorded.
# Arguments: the leg's name, its start time, the architecture, the build folder, further
# packages the leg needs, then "--" and the only targets to build (none: all of them).
install_and_build() {
  local name=$1 start=$2 arch=$3 dir=$4 packages=()
  shift 4
  while [ $# -gt 0 ] && [ "$1" != -- ]; do
    packages+=("$1")
    shift
  done
  [ $# -gt 0 ] && shift
  if ! need_packages cmake ninja-build make perl dpkg-dev binutils googletest nlohmann-json3-dev \
      libeasyloggingpp-dev "g++-mingw-w64-${arch//_/-}-posix" "binutils-mingw-w64-${arch//_/-}" "${packages[@]}"; then
    record_leg "$name" FAIL - "$start" "packages: $VOND_APT_ERROR"
    return 1
  fi
  prepare_headers
  build_arch "$arch" "$dir" "$@" || { record_leg "$name" FAIL - "$start" "build failed"; return 1; }
}

# Reads a DLL's export and import tables with the cross toolchain (no Windows code runs).
check_dll_tables() {
  local triple=$1 dir=$2
  bash tests/check_dll_exports.sh "$triple-objdump" "$triple-c++filt" \
    "$dir/vondsdk_mt.dll" "$(ls "$dir"/EOSSDK-Win*-Shipping.dll 2>/dev/null | head -n 1)"
}

# Runs a build's whole suite under one Wine server and checks that every listed test ran and
# passed. Arguments: the build folder, the wineserver binary, the log.
run_wine_suite() {
  local dir=$1 server=$2 log=$3 rc=0 total
  # One Wine server for the whole run: started and ended per test, a server on its way out
  # now and then refused the next test's process, which then failed before printing a line.
  WINEPREFIX="$dir/wineprefix" "$server" -p
  total=$(cd "$dir" && ctest -N | sed -nE 's/^Total Tests: ([0-9]+)/\1/p')
  set +e
  # Every process start costs seconds under Wine: the process-end table plays fewer runs (the
  # kill and outbox harnesses scale their own trials for Wine).
  (lane_lock && cd "$dir" && VOND_PROCESS_END_RUNS=${VOND_PROCESS_END_RUNS:-25} \
    VOND_FAULT_MATRIX_CELLS=${VOND_FAULT_MATRIX_CELLS:-5} \
    ctest --output-on-failure -j "$jobs" --timeout 300 $wine_retry) >"$log" 2>&1
  rc=$?
  set -e
  WINEPREFIX="$dir/wineprefix" "$server" -k || true
  cat "$log"
  check_count "$log" "${total:-0}" || rc=1
  echo "${total:-0}" >"$dir/listed-tests"
  tests_run_again "$log" >"$dir/rerun-tests"
  return "$rc"
}

# The tests of a ctest log that failed, crashed or timed out on a run (not the skipped ones),
# on one line.
tests_run_again() {
  { grep -E 'Test +#[0-9]+: [^ ]+ \.+ *\*\*\*(Failed|Timeout|Exception)' "$1" || true; } | sed -E 's/.*Test +#[0-9]+: ([^ ]+) .*/\1/' |
    sort -u | tr '\n' ' ' | sed 's/ $//'
}

# The leg row's note on the tests that passed only on a later run, if any.
rerun_note() {
  local names
  names=$(cat "$1/rerun-tests" 2>/dev/null || true)
  [ -z "$names" ] || echo "passed on a later run: $names"
}

# A new prefix takes a while to come up, and tests started in parallel on a half-made prefix
# would race each other; bring it up once, then wait for its server to settle.
prepare_wine64_prefix() {
  local dir=$1
  if [ ! -f "$dir/wineprefix/system.reg" ]; then
    echo "initialising the Wine prefix"
    "$dir/vond-wine64" wineboot --init >/dev/null 2>&1 || true
    WINEPREFIX="$dir/wineprefix" /usr/lib/wine/wineserver64 -w || true
  fi
}

# The x86 leg's prefix is a 64-bit one, made by the 64-bit loader, so the 32-bit tests run as
# WoW64 processes, as on 64-bit Windows.
prepare_wow64_prefix() {
  local dir=$1
  "$dir/vond-wine32" cmd /c exit >/dev/null 2>&1 || true
  WINEPREFIX="$dir/wineprefix" /usr/lib/wine/wineserver -w || true
  if ! grep -q '^#arch=win64' "$dir/wineprefix/system.reg" 2>/dev/null; then
    echo "the x86 leg's Wine prefix is not a 64-bit one: $dir/wineprefix"
    return 1
  fi
}

x64_leg() {
  local start dir log rc=0
  start=$(date +%s)
  leg "Windows x64 (Wine)"
  dir="$build/win64"
  log="$build/win64-ctest.log"
  install_and_build "Windows x64 (Wine)" "$start" x86_64 "$dir" wine64 || return 1
  prepare_wine64_prefix "$dir"
  run_wine_suite "$dir" /usr/lib/wine/wineserver64 "$log" || rc=1
  finish_leg "Windows x64 (Wine)" "$log" "$start" "$rc" "$(rerun_note "$dir")"
}

# The x86 leg cannot run its tests here: NOT RUN with the reason, a failure only when the
# machine is known to run 32-bit code (VOND_REQUIRE_X86=1).
x86_not_run() {
  local start=$1 reason=$2
  echo "the x86 leg's tests are NOT RUN: $reason"
  if [ "${VOND_REQUIRE_X86:-0}" = 1 ]; then
    record_leg "Windows x86 (32-bit Wine)" FAIL - "$start" "VOND_REQUIRE_X86=1, but: $reason"
    return 1
  fi
  record_leg "Windows x86 (32-bit Wine)" "NOT RUN" - "$start" "$reason (DLLs built, tables checked)"
}

# Runs the x86 journeys in the emulated machine once its image is there, and records the leg.
# Arguments: the leg's start time, the build folder, the ctest log, the image build's process,
# the reason 32-bit code does not run here.
x86_vm_leg() {
  local start=$1 dir=$2 log=$3 image_pid=$4 why=$5 name="Windows x86 (32-bit Wine)" results rc=0
  results="$build/win32-vm"
  if ! wait "$image_pid"; then
    cat "$build/x86-vm-image.out"
    x86_not_run "$start" "$why; the VM image could not be made (see $build/x86-vm-image.out)"
    return
  fi
  grep -E ': [0-9]+ s' "$(tail -n 1 "$build/x86-vm-image.out")/build.log" 2>/dev/null | sed 's/^/VM image: /' || true
  echo "VM image: $(tail -n 1 "$build/x86-vm-image.out")"
  (lane_lock && vm_run_journeys "$dir" "$devserver" "$results") || rc=1
  cat "$results/run.log" 2>/dev/null || true
  cp "$results/ctest.log" "$log" 2>/dev/null || echo "no ctest log from the VM" >"$log"
  cat "$log"
  local selected total
  selected=$(sed -nE 's/^Total Tests: ([0-9]+)/\1/p' "$results/selected.txt" 2>/dev/null || true)
  total=$(sed -nE 's/^Total Tests: ([0-9]+)/\1/p' "$results/all.txt" 2>/dev/null || true)
  echo "not run in the VM (each test costs seconds under emulation; the x64 leg runs them from the same sources):"
  comm -23 <(vm_test_names "$results/all.txt") <(vm_test_names "$results/selected.txt") | sed 's/^/  /'
  [ "$(cat "$results/ctest.rc" 2>/dev/null)" = 0 ] || rc=1
  check_count "$log" "${selected:-0}" || rc=1
  tests_run_again "$log" >"$dir/rerun-tests"
  local note="in a VM (TCG), journeys subset: ${selected:-?} of ${total:-?} tests"
  [ "${VOND_VM_WHOLE_SUITE:-0}" != 1 ] || note="in a VM (TCG), whole suite: ${selected:-?} of ${total:-?} tests"
  summary "$name" "$log" "$start"
  if [ "$rc" = 0 ]; then
    local rerun
    rerun=$(rerun_note "$dir")
    record_leg "$name" PASS "$(ctest_count "$log")" "$start" "$note${rerun:+; $rerun}"
  else
    record_leg "$name" FAIL "$(ctest_count "$log")" "$start" "$note; see $log and $results/console.log"
  fi
  return "$rc"
}

x86_leg() {
  local start dir log rc=0 reason="" discovery=POST_BUILD targets=() image_pid="" vm_problem=""
  start=$(date +%s)
  leg "Windows x86 (32-bit Wine)"
  dir="$build/win32"
  log="$build/win32-ctest.log"
  # Can the tests run here? 32-bit code must run, and 32-bit Wine (from Debian's i386
  # architecture, added only here; nothing after this leg depends on it) must install.
  # VOND_X86_VM=1 takes the emulated machine's road even where 32-bit code runs, to try it.
  if [ "${VOND_X86_VM:-0}" = 1 ]; then
    reason="VOND_X86_VM=1"
  elif reason=$(can_run_32bit); then
    reason=""
  fi
  if [ -n "$reason" ]; then
    discovery=PRE_TEST
    # An emulated machine whose own kernel runs 32-bit code can still run the journeys. Its
    # image is made (or found in the cache) beside the build: the build keeps the CPU busy,
    # the image mostly waits on the mirror.
    if [ -z "${devserver:-}" ]; then
      vm_problem="no backend emulator for the journeys in a VM"
    else
      vm_problem=$(vm_host_problem)
    fi
    if [ -z "$vm_problem" ]; then
      mkdir -p "$build"
      (vm_image >"$build/x86-vm-image.out" 2>&1) &
      image_pid=$!
    fi
  else
    if ! grep -qx i386 <<<"$(dpkg --print-foreign-architectures)"; then
      as_root dpkg --add-architecture i386
    fi
    if ! need_packages wine wine32:i386; then
      reason="wine32:i386 could not be installed ($VOND_APT_ERROR)"
      discovery=PRE_TEST
    fi
  fi
  # Where the tests cannot run, only the two DLLs are built (the tables and the Unity package
  # need them): the test programs compile from the same sources in the x64 leg, and building
  # them once more for nothing cost this leg four of its five minutes.
  [ "$discovery" = PRE_TEST ] && [ -z "$image_pid" ] && targets=(vondsdk_mt eossim)
  # The x64 objdump reads the other DLL's tables. Test programs built for the VM list their
  # cases there, under its Wine (PRE_TEST).
  if ! VOND_TEST_DISCOVERY_MODE=$discovery install_and_build "Windows x86 (32-bit Wine)" "$start" i686 "$dir" \
      binutils-mingw-w64-x86-64 -- "${targets[@]}"; then
    [ -z "$image_pid" ] || wait "$image_pid" || true
    return 1
  fi
  # Both DLLs' tables, read on this host: they need no 32-bit execution.
  check_dll_tables i686-w64-mingw32 "$dir" || rc=1
  if [ -f "$build/win64/vondsdk_mt.dll" ]; then
    check_dll_tables x86_64-w64-mingw32 "$build/win64" || rc=1
  fi
  if [ "$rc" != 0 ]; then
    [ -z "$image_pid" ] || wait "$image_pid" || true
    record_leg "Windows x86 (32-bit Wine)" FAIL - "$start" "a DLL's export or import table is wrong"
    return 1
  fi
  if [ -n "$image_pid" ]; then
    x86_vm_leg "$start" "$dir" "$log" "$image_pid" "$reason"
    return
  fi
  if [ "$discovery" = PRE_TEST ]; then
    x86_not_run "$start" "$reason${vm_problem:+; no VM: $vm_problem}"
    return
  fi

  prepare_wow64_prefix "$dir" || rc=1
  run_wine_suite "$dir" /usr/lib/wine/wineserver "$log" || rc=1
  # The same suite as the x64 leg, every test run and passed under the 32-bit loader.
  local tests32 tests64
  tests32=$(cat "$dir/listed-tests" 2>/dev/null || echo 0)
  tests64=$(cat "$build/win64/listed-tests" 2>/dev/null || echo "")
  if [ -n "$tests64" ] && [ "$tests32" != "$tests64" ]; then
    echo "x86 lists $tests32 tests, x64 $tests64"
    rc=1
  fi
  finish_leg "Windows x86 (32-bit Wine)" "$log" "$start" "$rc" "$(rerun_note "$dir")"
}

main() {
  # The end-to-end tests talk to the Linux build's backend emulator, which a CTest fixture
  # starts on this host (a Windows program under Wine cannot start a Linux one).
  devserver="${VOND_DEVSERVER_BINARY:-$root/build/linux/tools/devserver/vond-devserver}"
  if [ ! -x "$devserver" ]; then
    echo "no $devserver: run the Linux leg first (scripts/test.sh); end-to-end tests are not listed"
    devserver=""
  fi
  local rc64=0 rc32=0
  x64_leg || rc64=1
  x86_leg || rc32=1
  # Both DLLs are built whatever the legs could run: the Unity package gets them.
  bash scripts/pack-unity.sh | tail -n 1 | sed 's/^/Unity package: /' || echo "the Unity package was not packed"
  if [ "$rc64" != 0 ] || [ "$rc32" != 0 ]; then
    echo "Windows legs failed (x64: $rc64, x86: $rc32)"
    return 1
  fi
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  main "$@"
fi
