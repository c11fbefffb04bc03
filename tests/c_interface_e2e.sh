#!/usr/bin/env bash
# The C test program against the emulators: start-up, login and one purchase through the C
# interface, in one callback mode. The backend is the shared vond-devserver of the test run;
# EOS is the stand-in, given a scenario with the launcher's account and the sample offers.
#
#   c_interface_e2e.sh <endpoint file> <sdk|update> <app id> <app key> <program> [emulator]
#
# The app is one of the server's configured apps that no other test uses. With an emulator
# (Wine) the program is a Windows one: its paths are given on drive Z:. The emulator may also be
# Mono, for the C# program of the Unity package.
set -euo pipefail
endpoint=$1 mode=$2 app_id=$3 app_key=$4 program=$5
shift 5
origin=$(sed -n 's/^origin=//p' "$endpoint")
ca=$(sed -n 's/^ca=//p' "$endpoint")
[ -n "$origin" ] && [ -n "$ca" ] || { echo "no devserver endpoint in $endpoint" >&2; exit 1; }
drive=""
case "${1:-}" in *wine*) drive="Z:" ;; esac

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/data" "$work/game"
account=e05a1d2f3c4b5a69788796a5b4c3d2e1
code="c-e2e-exchange-code-$mode"
cat >"$work/scenario.json" <<JSON
{"accounts": [{"exchangeCode": "$code", "accountId": "$account"}],
 "offers": [{"offerId": "offer1", "entitlementName": "Gems"}, {"offerId": "eossim-offer", "entitlementName": "Gem Chest"}],
 "stateFile": "$drive$work/eos-state.json"}
JSON

cd "$work/game"
VOND_SDK_ORIGIN="$origin" VOND_SDK_CA_FILE="$drive$ca" VOND_SDK_DATA_DIR="$drive$work/data" \
  VOND_EOSSIM_SCENARIO="$drive$work/scenario.json" \
  "$@" "$program" "--mode=$mode" "--app-id=$app_id" "--app-key=$app_key" --product=p1 \
  "-AUTH_PASSWORD=$code" -AUTH_TYPE=exchangecode -epicsandboxid=vond-sample-sandbox-id \
  -epicdeploymentid=vond-sample-deployment-id

# The purchase was redeemed in the frames after its report: nothing is left unredeemed.
if grep -q '"redeemed": *false' "$work/eos-state.json"; then
  echo "an entitlement was left unredeemed:" >&2
  cat "$work/eos-state.json" >&2
  exit 1
fi
