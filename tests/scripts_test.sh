#!/usr/bin/env bash
# The test command's own machinery, with a stand-in apt-get, dpkg and 32-bit probe: the
# package step retries a flaky mirror and never lets an index of an unneeded architecture stop
# an install; the x86 leg takes the emulated machine where 32-bit code cannot run, and is NOT
# RUN (not failed) where neither road is open,
# unless VOND_REQUIRE_X86=1. One table of cases, one harness.
#
#   scripts_test.sh <repository root>
set -uo pipefail
root=$(cd "${1:-$(dirname "$0")/..}" && pwd)
# Run from the test command, this suite already holds the test lane that the legs it plays
# would take again: they run without one, as a script run on its own does.
unset VOND_TEST_LANE
work=$(mktemp -d)
# Only this shell cleans up: a pipeline's subshell that ends must not take the stand-ins away,
# or a later case would reach the machine's real apt-get.
trap '[ "$BASHPID" = '$$' ] && rm -rf "$work"' EXIT

# ---- the stand-ins, driven by files in $FAKE ----
mkdir -p "$work/bin"
cat >"$work/bin/apt-get" <<'EOF'
#!/usr/bin/env bash
# Answers each call with the next word of $FAKE/<subcommand>.plan: ok, i386 (an i386 index of
# the wrong size), other (a Release file that cannot be fetched) or fail.
sub=update
for a in "$@"; do case "$a" in update|install) sub=$a ;; esac; done
echo "$sub ${*}" >>"$FAKE/calls"
plan=($(cat "$FAKE/$sub.plan" 2>/dev/null))
n=$(grep -c "^$sub " "$FAKE/calls")
word=${plan[$((n - 1))]:-${plan[-1]:-ok}}
case "$word" in
  ok) exit 0 ;;
  i386)
    echo "E: Failed to fetch http://mirror.invalid/debian/dists/bookworm/main/binary-i386/Packages.xz  File has unexpected size (1234 != 5678). Mirror sync in progress?"
    echo "E: Some index files failed to download. They have been ignored, or old ones used instead."
    exit 100 ;;
  other)
    echo "E: Failed to fetch http://mirror.invalid/debian/dists/bookworm/InRelease  Temporary failure resolving 'mirror.invalid'"
    exit 100 ;;
  *)
    echo "E: Unable to locate package (stand-in failure)"
    exit 100 ;;
esac
EOF
cat >"$work/bin/dpkg-query" <<'EOF'
#!/usr/bin/env bash
echo "unknown ok not-installed"
EOF
cat >"$work/bin/dpkg" <<'EOF'
#!/usr/bin/env bash
case "$1" in
  --print-architecture) echo amd64 ;;
  --print-foreign-architectures) cat "$FAKE/foreign" 2>/dev/null || true ;;
  --add-architecture) echo "$2" >>"$FAKE/foreign"; echo "add-architecture $2" >>"$FAKE/calls" ;;
esac
EOF
chmod +x "$work/bin/"*

# Runs one case in a fresh shell with the stand-ins first on PATH. Prints the exit status,
# the apt-get calls and the recorded legs, each on lines of their own.
#   run_case <update plan> <install plan> <probe: yes|no> <suite: pass|fail> <require x86> <body>
export FAKE="$work/case"
run_case() {
  local update=$1 install=$2 probe=$3 suite=$4 require=$5 body=$6
  rm -rf "$FAKE"
  mkdir -p "$FAKE"
  echo "$update" >"$FAKE/update.plan"
  echo "$install" >"$FAKE/install.plan"
  : >"$FAKE/calls"
  : >"$FAKE/legs"
  (
    export PATH="$work/bin:$PATH" VOND_APT_RETRY_DELAYS="0 0" VOND_LEG_RESULTS="$FAKE/legs"
    export VOND_REQUIRE_X86=$require VOND_WINDOWS_BUILD_DIR="$FAKE/build"
    cd "$root"
    source scripts/test-windows.sh
    set +e
    # Never the machine's own package tools, whatever PATH holds.
    apt-get() { "$work/bin/apt-get" "$@"; }
    dpkg() { "$work/bin/dpkg" "$@"; }
    dpkg-query() { "$work/bin/dpkg-query" "$@"; }
    as_root() { "$@"; }
    prepare_headers() { :; }
    build_arch() { mkdir -p "$2"; }
    check_dll_tables() { :; }
    prepare_wow64_prefix() { :; }
    prepare_wine64_prefix() { :; }
    can_run_32bit() {
      [ "$probe" = yes ] && return 0
      echo "this machine cannot run 32-bit code: a static i386 program gave exit code 126"
      return 1
    }
    run_wine_suite() {
      if [ "$suite" = flaky ]; then
        printf '%s\n' "2/7 Test  #4: Suite.NotHere ....***Skipped   1.06 sec" \
          "3/7 Test  #5: Suite.Crashy ....***Failed  Required regular expression not found." \
          "    Test  #5: Suite.Crashy ....   Passed    1.02 sec" "100% tests passed, 0 tests failed out of 7" >"$3"
        tests_run_again "$3" >"$1/rerun-tests"
      elif [ "$suite" = pass ]; then
        echo "100% tests passed, 0 tests failed out of 7" >"$3"
      else
        echo "86% tests passed, 1 tests failed out of 7" >"$3"
        return 1
      fi
    }
    # The emulated machine, as $FAKE/vm says: absent (no such file: the host cannot have one),
    # noimage, pass, fail, short (fewer tests ran than were selected) or silent (no results).
    vm_host_problem() { [ -f "$FAKE/vm" ] || echo "qemu-system-x86 could not be installed (stand-in)"; }
    vm_image() { [ "$(cat "$FAKE/vm")" != noimage ] || { echo "no image (stand-in)"; return 1; }; mkdir -p "$FAKE/image"; echo "$FAKE/image"; }
    vm_run_journeys() {
      local results=$3 plan
      plan=$(cat "$FAKE/vm")
      mkdir -p "$results"
      [ "$plan" != silent ] || return 1
      printf '  Test #%s: Suite.T%s\n' 1 1 2 2 3 3 4 4 5 5 >"$results/all.txt"
      echo "Total Tests: 5" >>"$results/all.txt"
      printf '  Test #%s: Suite.T%s\n' 1 1 3 3 5 5 >"$results/selected.txt"
      echo "Total Tests: 3" >>"$results/selected.txt"
      echo 0 >"$results/ctest.rc"
      case "$plan" in
        pass) echo "100% tests passed, 0 tests failed out of 3" >"$results/ctest.log" ;;
        short) echo "100% tests passed, 0 tests failed out of 2" >"$results/ctest.log" ;;
        fail) echo "67% tests passed, 1 tests failed out of 3" >"$results/ctest.log"; echo 8 >"$results/ctest.rc" ;;
      esac
      echo 0 >"$results/rc"
    }
    eval "$body"
  ) >"$FAKE/out" 2>&1
  echo "exit=$?"
  echo "updates=$(grep -c '^update ' "$FAKE/calls") installs=$(grep -c '^install ' "$FAKE/calls")"
  sed 's/^/call: /' "$FAKE/calls"
  cut -f1,2,3,5 "$FAKE/legs" | sed 's/^/leg: /'
}

# name | update plan | install plan | probe | suite (pass, fail, or flaky: one test passed on
# a later run) | VOND_REQUIRE_X86 | body | expected lines
# (each expected line is an extended regular expression that must match a line of the output;
# a line starting with ! must match none)
cases=(
  "index failure, then success: retried, installed|other ok|ok|yes|pass|0|need_packages cmake|exit=0;^updates=2 installs=1$;^call: install .*cmake"
  "i386 index failing on an amd64 install: install goes on at once|i386|ok|yes|pass|0|need_packages cmake wine64|exit=0;^updates=1 installs=1$;^call: install .*cmake wine64"
  "i386 index failing while wine32:i386 is needed: three tries, then the reason|i386|ok|yes|pass|0|need_packages wine32:i386; rc=\$?; echo \"\$VOND_APT_ERROR\" >>\"\$FAKE/calls\"; exit \$((rc + 2))|exit=3;^updates=3 installs=0$;^call: apt-get update: E: Failed to fetch .*binary-i386"
  "install failing twice, then succeeding|ok|fail fail ok|yes|pass|0|need_packages cmake|exit=0;^updates=3 installs=3$"
  "install failing three times fails the step|ok|fail|yes|pass|0|need_packages cmake|exit=1;^updates=3 installs=3$"
  "no 32-bit execution: x86 NOT RUN, exit 0|ok|ok|no|pass|0|x86_leg|exit=0;^leg: Windows x86 \\(32-bit Wine\\)	NOT RUN	-	this machine cannot run 32-bit code;!add-architecture"
  "no 32-bit execution with VOND_REQUIRE_X86=1: exit 1|ok|ok|no|pass|1|x86_leg|exit=1;^leg: Windows x86 \\(32-bit Wine\\)	FAIL	-	VOND_REQUIRE_X86=1"
  "wine32:i386 not installable: NOT RUN with the package manager's reason|i386|ok|yes|pass|0|x86_leg|exit=0;^call: add-architecture i386;^leg: .*NOT RUN	-	wine32:i386 could not be installed \\(apt-get update: E: Failed to fetch"
  "32-bit machine, suite passes: PASS with its count|ok|ok|yes|pass|0|x86_leg|exit=0;^leg: Windows x86 \\(32-bit Wine\\)	PASS	7/7"
  "32-bit machine, a test fails: FAIL, exit 1|ok|ok|yes|fail|0|x86_leg|exit=1;^leg: Windows x86 \\(32-bit Wine\\)	FAIL	6/7"
  "the whole Windows script: x64 passes, x86 NOT RUN, exit 0|i386|ok|no|pass|0|main|exit=0;^leg: Windows x64 \\(Wine\\)	PASS	7/7;^leg: Windows x86 .*NOT RUN;!add-architecture"
  "no 32-bit execution, the VM runs the journeys: PASS with the count, in a VM|ok|ok|no|pass|0|echo pass >\"\$FAKE/vm\"; devserver=/bin/true; x86_leg|exit=0;^leg: Windows x86 \\(32-bit Wine\\)	PASS	3/3	in a VM \\(TCG\\), journeys subset: 3 of 5 tests;!add-architecture"
  "no 32-bit execution, a journey fails in the VM: FAIL, exit 1|ok|ok|no|pass|0|echo fail >\"\$FAKE/vm\"; devserver=/bin/true; x86_leg|exit=1;^leg: Windows x86 \\(32-bit Wine\\)	FAIL	2/3	in a VM \\(TCG\\)"
  "the VM ran fewer tests than it selected: FAIL|ok|ok|no|pass|0|echo short >\"\$FAKE/vm\"; devserver=/bin/true; x86_leg|exit=1;^leg: Windows x86 \\(32-bit Wine\\)	FAIL	2/2"
  "the VM gave no results: FAIL|ok|ok|no|pass|0|echo silent >\"\$FAKE/vm\"; devserver=/bin/true; x86_leg|exit=1;^leg: Windows x86 \\(32-bit Wine\\)	FAIL	-	in a VM"
  "no VM image could be made: NOT RUN with the reason, exit 0|ok|ok|no|pass|0|echo noimage >\"\$FAKE/vm\"; devserver=/bin/true; x86_leg|exit=0;^leg: Windows x86 \\(32-bit Wine\\)	NOT RUN	-	this machine cannot run 32-bit code.*the VM image could not be made"
  "no VM image, VOND_REQUIRE_X86=1: FAIL|ok|ok|no|pass|1|echo noimage >\"\$FAKE/vm\"; devserver=/bin/true; x86_leg|exit=1;^leg: Windows x86 \\(32-bit Wine\\)	FAIL	-	VOND_REQUIRE_X86=1"
  "no backend emulator: no VM, NOT RUN|ok|ok|no|pass|0|echo pass >\"\$FAKE/vm\"; devserver=; x86_leg|exit=0;^leg: .*NOT RUN	-	.*no VM: no backend emulator"
  "VOND_X86_VM=1 on a machine that runs 32-bit code: the VM's road, no i386 on the host|ok|ok|yes|pass|0|echo pass >\"\$FAKE/vm\"; devserver=/bin/true; VOND_X86_VM=1 x86_leg|exit=0;^leg: Windows x86 \\(32-bit Wine\\)	PASS	3/3	in a VM;!add-architecture"
  "the VM image's cache key follows its package list|ok|ok|no|pass|0|a=\$(vm_image_key); vm_packages+=(extra); b=\$(vm_image_key); unset 'vm_packages[-1]'; [ \"\$a\" != \"\$b\" ] && [ \"\$a\" = \"\$(vm_image_key)\" ]|exit=0"
  "a Wine test that passed on a later run: PASS, the test named in the row|ok|ok|no|flaky|0|main|exit=0;^leg: Windows x64 \\(Wine\\)	PASS	7/7	passed on a later run: Suite.Crashy *$;!Suite.NotHere"
)

passed=0
failed=0
for entry in "${cases[@]}"; do
  IFS='|' read -r name update install probe suite require body expected <<<"$entry"
  out=$(run_case "$update" "$install" "$probe" "$suite" "$require" "$body")
  ok=1
  IFS=';' read -ra checks <<<"$expected"
  for check in "${checks[@]}"; do
    if [[ "$check" == !* ]]; then
      grep -qE -- "${check:1}" <<<"$out" && { echo "  unexpected line /${check:1}/"; ok=0; }
    else
      grep -qE -- "$check" <<<"$out" || { echo "  no line /$check/"; ok=0; }
    fi
  done
  if [ "$ok" = 1 ]; then
    passed=$((passed + 1))
    echo "ok: $name"
  else
    failed=$((failed + 1))
    echo "FAILED: $name"
    sed 's/^/    /' <<<"$out"
    sed 's/^/    | /' "$FAKE/out" | tail -n 15
  fi
done
echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
