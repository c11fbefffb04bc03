# Helpers shared by the scripts; sourced, not run.

# Installs the Debian packages that are not installed yet.
need_packages() {
  local missing=()
  for p in "$@"; do
    grep -q 'install ok installed' <<<"$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null)" || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" = 0 ] || sudo=sudo
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  fi
}

leg() {
  echo
  echo "==== leg: $1 ===="
}

# Prints one line naming the leg, its test count and its time, from a ctest log.
summary() {
  local name=$1 log=$2 start=$3
  local line
  line=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -n 1 || true)
  echo "==== $name: ${line:-no ctest summary} ($(( $(date +%s) - start )) s) ===="
}
