# Helpers shared by the scripts; sourced, not run.

# Seconds to wait before the second and the third try of a package step. A mirror in the
# middle of a sync answers index files of the wrong size for a while; retrying at once rarely
# helps. Tests set "0 0".
VOND_APT_RETRY_DELAYS=${VOND_APT_RETRY_DELAYS:-"30 120"}

# The last package-manager error of need_packages, one line, for a leg that could not run.
VOND_APT_ERROR=""

as_root() {
  if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi
}

# True when an apt-get update log failed only on index files of architectures that none of the
# packages to install needs: an i386 index a mirror is syncing must not stop an amd64 install.
# Arguments: the log file, then the packages.
apt_failures_are_harmless() {
  local log=$1
  shift
  local failed
  failed=$(grep -E 'Failed to fetch' "$log" || true)
  # Nothing named as failed: a broken sources list, a lock, no network. Not ours to wave off.
  [ -n "$failed" ] || return 1
  local arch needed
  for arch in $(grep -oE 'binary-[a-z0-9]+' <<<"$failed" | sort -u | sed 's/^binary-//'); do
    [ "$arch" = "$(dpkg --print-architecture 2>/dev/null || echo amd64)" ] && return 1
    needed=0
    for p in "$@"; do [[ "$p" == *":$arch" ]] && needed=1; done
    [ "$needed" = 0 ] || return 1
  done
  # Every failed fetch names an index of some architecture (not a Release file or a source list).
  ! grep -vqE 'binary-[a-z0-9]+' <<<"$failed"
}

# One apt-get update. Succeeds when it did, or when it failed only on indexes of an
# architecture that none of the given packages needs. Sets VOND_APT_ERROR on failure.
apt_update() {
  local log rc=0
  log=$(mktemp)
  as_root apt-get update -qq >"$log" 2>&1 || rc=$?
  if [ "$rc" != 0 ]; then
    if apt_failures_are_harmless "$log" "$@"; then
      echo "apt-get update: failed indexes are of no package installed here; going on"
      rc=0
    else
      VOND_APT_ERROR="apt-get update: $(grep -E '^(E|Err)' "$log" | head -n 1 | cut -c1-200)"
      [ "$VOND_APT_ERROR" != "apt-get update: " ] || VOND_APT_ERROR="apt-get update: exit code $rc"
    fi
  fi
  rm -f "$log"
  return "$rc"
}

# Installs the Debian packages that are not installed yet: apt-get update, then the install,
# three tries of the whole step. Returns non-zero, with the reason in VOND_APT_ERROR, when all
# three tries failed.
need_packages() {
  local missing=()
  for p in "$@"; do
    grep -q 'install ok installed' <<<"$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null)" || missing+=("$p")
  done
  [ ${#missing[@]} -gt 0 ] || return 0
  echo "installing: ${missing[*]}"
  local delays=($VOND_APT_RETRY_DELAYS) try log rc
  log=$(mktemp)
  for try in 1 2 3; do
    if apt_update "${missing[@]}"; then
      rc=0
      DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -qq --no-install-recommends \
        "${missing[@]}" >"$log" 2>&1 || rc=$?
      if [ "$rc" = 0 ]; then
        rm -f "$log"
        VOND_APT_ERROR=""
        return 0
      fi
      VOND_APT_ERROR="apt-get install: $(grep -E '^E' "$log" | head -n 1 | cut -c1-200)"
      tail -n 20 "$log" >&2
    fi
    echo "try $try of 3 failed: $VOND_APT_ERROR" >&2
    if [ "$try" -lt 3 ]; then
      sleep "${delays[$((try - 1))]:-0}"
    fi
  done
  rm -f "$log"
  return 1
}

# Takes the test lane for the rest of the calling (sub)shell: one suite runs at a time, while
# the next leg builds beside it. Without VOND_TEST_LANE (a script run on its own) it does nothing.
lane_lock() {
  [ -n "${VOND_TEST_LANE:-}" ] || return 0
  exec 9>>"$VOND_TEST_LANE"
  flock 9
}

leg() {
  echo
  echo "==== leg: $1 ===="
}

# Prints one line naming the leg, its test count and its time, from a ctest log.
summary() {
  local name=$1 log=$2 start=$3
  local line
  line=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$log" 2>/dev/null | tail -n 1 || true)
  echo "==== $name: ${line:-no ctest summary} ($(( $(date +%s) - start )) s) ===="
}

# The test count of a ctest log: "passed/total", or "-" when it has no summary.
ctest_count() {
  local line
  line=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$1" 2>/dev/null | tail -n 1 || true)
  [ -n "$line" ] || { echo "-"; return; }
  local failed total
  failed=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\1/' <<<"$line")
  total=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\2/' <<<"$line")
  echo "$((total - failed))/$total"
}

# Records one leg's outcome for the closing table: name, PASS/FAIL/NOT RUN, tests, start time
# (seconds since the epoch), reason. The file is VOND_LEG_RESULTS (scripts/test.sh sets it);
# a script run on its own records nothing.
record_leg() {
  local name=$1 result=$2 tests=$3 start=$4 reason=${5:-}
  [ -n "${VOND_LEG_RESULTS:-}" ] || return 0
  printf '%s\t%s\t%s\t%s\t%s\n' "$name" "$result" "$tests" "$(( $(date +%s) - start ))" \
    "$(tr '\t\n' '  ' <<<"$reason")" >>"$VOND_LEG_RESULTS"
}

# Ends a leg that ran a ctest suite: prints its summary line and records PASS or FAIL with the
# count from the log. Arguments: the name, the ctest log, the start time, the suite's status,
# and a note for a passing leg's row. Returns that status.
finish_leg() {
  local name=$1 log=$2 start=$3 rc=$4 note=${5:-}
  summary "$name" "$log" "$start"
  if [ "$rc" = 0 ]; then
    record_leg "$name" PASS "$(ctest_count "$log")" "$start" "$note"
  else
    record_leg "$name" FAIL "$(ctest_count "$log")" "$start" "see $log"
  fi
  return "$rc"
}

# Prints the table of every recorded leg.
print_leg_table() {
  local file=$1
  echo
  echo "==== legs ===="
  printf '%-34s %-8s %-10s %7s  %s\n' "leg" "result" "tests" "time" "reason"
  local name result tests secs reason
  while IFS=$'\t' read -r name result tests secs reason; do
    printf '%-34s %-8s %-10s %6ss  %s\n' "$name" "$result" "$tests" "$secs" "$reason"
  done <"$file"
}
