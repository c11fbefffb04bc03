#!/usr/bin/env bash
# The demo: a game logs in and buys something, with nothing but this repository.
#
# Installs what is missing (Debian), builds the SDK, the EOS stand-in, the backend emulator
# and the sample game, starts vond-devserver with tools/devserver/sample-config.json on a free
# loopback port, writes an EOS scenario whose offers match the sample products, runs the
# sample game as the Epic launcher would start it, stops the server, and checks that the
# purchase was reported to the backend and its entitlement redeemed.
#
#   scripts/demo.sh             the Linux build of the game
#   scripts/demo.sh --windows   the Windows x64 build of the game, under Wine, same emulators
#   scripts/demo.sh --fresh     forget the state of earlier runs first
#   scripts/demo.sh --log       a test device: the SDK's own log on the console too
#
# The state (the SDK's data directory, the backend's database, the EOS entitlements) is kept
# in build/demo-state, so a second run carries it over: no second install attribution, event
# numbers continue. Exits 0 only when the purchase was reported and redeemed.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
source scripts/lib.sh

windows=0
fresh=0
# The sample configuration's quiet game; its test-device twin (--log) has the SDK write its
# log to the console and to vondlog.log in the game's folder.
app_id=1002
app_key=vond-quiet-app-key
for arg in "$@"; do
  case "$arg" in
    --windows) windows=1 ;;
    --fresh) fresh=1 ;;
    --log) app_id=1001 app_key=vond-sample-app-key ;;
    *) echo "usage: scripts/demo.sh [--windows] [--fresh] [--log]" >&2; exit 2 ;;
  esac
done

need_packages cmake ninja-build g++ pkg-config libssl-dev nlohmann-json3-dev libeasyloggingpp-dev \
  libcpp-httplib-dev libsqlite3-dev jq curl

product=p1
# The Epic account the launcher logged in; the sample configuration maps it to a backend user.
epic_account=e05a1d2f3c4b5a69788796a5b4c3d2e1
exchange_code=vond-demo-exchange-code

# ---- build ----
leg "build"
linux_build=build/demo
cmake -S . -B "$linux_build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVOND_BUILD_TESTS=OFF -DVOND_DEV_OVERRIDES=ON >/dev/null
# The server always runs on this machine; the game is the Linux or the Windows build.
if [ "$windows" = 1 ]; then
  cmake --build "$linux_build" -j "$(nproc)" --target vond-devserver
  need_packages make perl dpkg-dev binutils g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine64
  openssl64=$(bash scripts/build-openssl-mingw.sh x86_64 | tail -n 1)
  win_build=$(realpath -m build/demo-win64)
  headers="$win_build/headers"
  mkdir -p "$headers"
  cp -a /usr/include/nlohmann /usr/include/easylogging++.h /usr/include/easylogging++.cc "$headers/"
  cmake -S . -B "$win_build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOPENSSL_ROOT_DIR="$openssl64" -DOPENSSL_USE_STATIC_LIBS=ON \
    -DVOND_HEADER_DIR="$headers" -DVOND_BUILD_TESTS=OFF -DVOND_DEV_OVERRIDES=ON >/dev/null
  cmake --build "$win_build" -j "$(nproc)" --target vond_sample_game
else
  cmake --build "$linux_build" -j "$(nproc)" --target vond-devserver vond_sample_game
fi

# ---- state carried from run to run ----
state=$(realpath -m build/demo-state)
if [ "$fresh" = 1 ]; then rm -rf "$state"; fi
mkdir -p "$state/data" "$state/devserver" "$state/game"
run=$(( $(cat "$state/runs" 2>/dev/null || echo 0) + 1 ))
app_conf="$state/data/$app_id/AppConf"
events_before=$(jq -r '.EventOrder // 0' "$app_conf" 2>/dev/null || echo 0)

# ---- the backend emulator ----
leg "backend emulator"
server_pid=""
stop_server() {
  if [ -n "$server_pid" ] && kill -0 "$server_pid" 2>/dev/null; then
    kill -TERM "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
  fi
  server_pid=""
}
trap stop_server EXIT
# Port 0: the server takes a free loopback port and prints it. It also ends by itself should
# this script die without stopping it.
# --eos-state: a paid report is checked against the EOS stand-in's record of the entitlement,
# as a real backend checks it with Epic.
exec 3< <(exec "$linux_build/tools/devserver/vond-devserver" --port 0 --state-dir "$state/devserver" \
  --config tools/devserver/sample-config.json --eos-state "$state/eos-state.json" --watch-pid $$ \
  </dev/null 2>"$state/devserver.err")
server_pid=$!
line=""
read -r -t 30 -u 3 line || true
case "$line" in
  "vond-devserver listening "*) ;;
  *) echo "vond-devserver did not start:" >&2; cat "$state/devserver.err" >&2; exit 1 ;;
esac
origin=$(sed -E 's/.* origin=([^ ]+).*/\1/' <<<"$line")
ca=$(sed -E 's/.* ca=([^ ]+).*/\1/' <<<"$line")
echo "vond-devserver at $origin (CA $ca)"
# The server's own CA, as the SDK trusts it; nothing here skips verification.
admin() { curl -fsS --cacert "$ca" "$origin/__admin/$1"; }

# ---- the EOS scenario: the launcher's account and the catalogue offers of the products ----
# Offers come from the sample configuration's EPIC channels, so every product can be bought.
scenario="$state/eos-scenario.json"
jq --arg code "$exchange_code" --arg account "$epic_account" --arg stateFile "$state/eos-state.json" '
  {accounts: [{exchangeCode: $code, accountId: $account}],
   offers: [.products[] | . as $p | .payChannel[] | select(.name == "EPIC")
            | {offerId: .channelProductId, entitlementName: $p.productName}],
   stateFile: $stateFile}' tools/devserver/sample-config.json >"$scenario"

# ---- the game ----
leg "sample game (run $run$([ "$windows" = 1 ] && echo ', Windows x64 under Wine'))"
launcher_args=(-AUTH_LOGIN=unused "-AUTH_PASSWORD=$exchange_code" -AUTH_TYPE=exchangecode -epicapp=vondsample
  -epicenv=Prod -EpicPortal -epicusername=DemoPlayer "-epicuserid=$epic_account" -epiclocale=en-US
  -epicsandboxid=vond-sample-sandbox-id -epicdeploymentid=vond-sample-deployment-id)
game_args=("--app-id=$app_id" "--app-key=$app_key" "--product=$product" --fps=60 --timeout=60)
set +e
if [ "$windows" = 1 ]; then
  # Windows paths for the Windows program: Wine shows the Linux root as drive Z:.
  if [ ! -f "$win_build/wineprefix/system.reg" ]; then
    echo "initialising the Wine prefix"
    "$win_build/vond-wine64" wineboot --init >/dev/null 2>&1
    WINEPREFIX="$win_build/wineprefix" /usr/lib/wine/wineserver64 -w
  fi
  (cd "$state/game" && VOND_SDK_ORIGIN="$origin" VOND_SDK_CA_FILE="Z:$ca" VOND_SDK_DATA_DIR="Z:$state/data" \
    VOND_EOSSIM_SCENARIO="Z:$scenario" "$win_build/vond-wine64" "$win_build/vond_sample_game.exe" \
    "${game_args[@]}" "${launcher_args[@]}")
  game_rc=$?
  WINEPREFIX="$win_build/wineprefix" /usr/lib/wine/wineserver64 -k 2>/dev/null
else
  (cd "$state/game" && VOND_SDK_ORIGIN="$origin" VOND_SDK_CA_FILE="$ca" VOND_SDK_DATA_DIR="$state/data" \
    VOND_EOSSIM_SCENARIO="$scenario" "$root/$linux_build/vond_sample_game" "${game_args[@]}" "${launcher_args[@]}")
  game_rc=$?
fi
set -e
echo "$run" >"$state/runs"

# ---- what the backend and EOS say ----
leg "checks"
requests=$(admin "requests?appId=$app_id")
orders=$(admin "orders?appId=$app_id")
stop_server

attributions=$(jq '[.[] | select(.path == "/sdkapi/v1/attribution.do")] | length' <<<"$requests")
paid=$(jq '[.[] | select(.path == "/sdkapi/v9/pay/pay_result.do" and .verdict == "paid")] | length' <<<"$requests")
settled=$(jq '[.[] | select(.status == "paid")] | length' <<<"$orders")
unredeemed=$(jq --arg account "$epic_account" \
  '[.entitlements[] | select(.accountId == $account and (.redeemed | not))] | length' "$state/eos-state.json" 2>/dev/null || echo "?")
redeemed=$(jq --arg account "$epic_account" \
  '[.entitlements[] | select(.accountId == $account and .redeemed)] | length' "$state/eos-state.json" 2>/dev/null || echo 0)
stored=0
for store in "$state/data/$app_id"/*/UnconsumedOrder; do
  [ -f "$store" ] && stored=$(( stored + $(jq 'length' "$store") ))
done
events_after=$(jq -r '.EventOrder // 0' "$app_conf" 2>/dev/null || echo 0)

echo "run                  $run (state in $state)"
echo "game exit code       $game_rc"
echo "purchase reported    $paid payment report(s) settled by the backend this run; $settled paid order(s) in all runs"
echo "entitlements         $redeemed redeemed in all runs, $unredeemed unredeemed; $stored order(s) waiting in the SDK's store"
echo "install attribution  $([ "$attributions" -gt 0 ] && echo "sent this run" || echo "not sent again (already accepted in an earlier run)")"
echo "analytics events     n$(( events_before + 1 )) to n$events_after this run$([ "$events_before" -gt 0 ] && echo ", continuing from n$events_before")"

if [ "$game_rc" = 0 ] && [ "$paid" -ge 1 ] && [ "$unredeemed" = 0 ] && [ "$stored" = 0 ]; then
  echo "demo: the purchase was reported and redeemed"
  exit 0
fi
echo "demo: FAILED (the purchase was not both reported and redeemed)" >&2
exit 1
