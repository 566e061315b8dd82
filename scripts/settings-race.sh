#!/bin/sh
# Runs `velorin login` beside three `velorin select` runs on one fresh
# settings folder, ROUNDS times, against a private development backend, and
# counts the rounds that lost the selection or the sign-in tokens.
#   scripts/settings-race.sh [ROUNDS] (BUILD=build/debug by default)
set -eu
rounds=${1:-30}
build=${BUILD:-build/debug}
velorin="$build/src/cli/velorin"
work=$(mktemp -d)
trap 'kill "$server" 2>/dev/null; wait "$server" 2>/dev/null; rm -rf "$work"' EXIT
"$build/tools/devserver/velorin-devserver" --data "$work/server" --port 0 --seed-demo >"$work/server.log" 2>&1 &
server=$!
while ! grep -q listening "$work/server.log"; do sleep 0.1; done
url=$(sed -n 's/.*listening on \(http[^ ]*\).*/\1/p' "$work/server.log" | head -1)
export VELORIN_AUTH_BASE_URL="$url" VELORIN_VPN_API_HOST="$url"
lost_selection=0
lost_tokens=0
i=0
while [ "$i" -lt "$rounds" ]; do
    i=$((i + 1))
    dir="$work/config-$i"
    echo velorin-demo | "$velorin" --config-dir "$dir" login demo@example.com --password-stdin >/dev/null 2>&1 &
    pids=$!
    for _ in 1 2 3; do
        "$velorin" --config-dir "$dir" select us-west-01 >/dev/null 2>&1 &
        pids="$pids $!"
    done
    for pid in $pids; do wait "$pid" || true; done
    "$velorin" --config-dir "$dir" servers | grep -q '^\* us-west-01' || lost_selection=$((lost_selection + 1))
    grep -q secure_refresh_token "$dir"/com.velorin.vpn.mac.json 2>/dev/null || lost_tokens=$((lost_tokens + 1))
done
echo "rounds=$rounds lost_selection=$lost_selection lost_tokens=$lost_tokens"
