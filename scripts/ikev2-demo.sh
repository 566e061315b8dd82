#!/usr/bin/env bash
# A real IKEv2 tunnel through the whole client, in one command (root only).
#
# Builds the IKEv2 lab (scripts/ikev2-lab.sh: a strongSwan responder and a
# client charon in two network namespaces), starts the development backend
# with a server list whose "sg-node-01" is the lab's responder, signs in with
# the demo account (`velorin login --password-stdin`), lets the responder
# accept the EAP user and password the backend serves to that account, then
# runs `velorin connect` against the lab's client charon, pings the address
# behind the tunnel from the client's namespace, disconnects and tears
# everything down.
#
# The client keeps the EAP password in the keychain (the Secret Service), so
# it runs on a private D-Bus session bus with an unlocked throw-away
# gnome-keyring (tests/platform/with-secret-service.sh).
#
#   scripts/ikev2-demo.sh
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

die() { echo "ikev2-demo: $*" >&2; exit 1; }

# The part that runs on the private session bus: sign in, teach the
# responder, connect, ping, disconnect. Facts arrive in the environment.
client_part() {
  local config=$DEMO_WORK/config
  echo "\$ velorin login $DEMO_EMAIL --password-stdin"
  printf '%s\n' "$DEMO_PASSWORD" | "$DEMO_VELORIN" --config-dir "$config" login "$DEMO_EMAIL" --password-stdin
  echo

  # The backend made the account's EAP user name and password; the
  # responder learns them.
  . "$DEMO_ROOT/scripts/devserver-start.sh"
  lab_accept_account "$DEMO_EMAIL" "$DEMO_PASSWORD" sg-node-01 "$LAB_DIR" || die "the responder did not learn the account"
  echo "The lab's responder accepts the EAP user $eap_user served to $DEMO_EMAIL."

  local ping=(ip netns exec "$LAB_CLIENT_NETNS" ping -n)
  echo
  echo "\$ ping $LAB_TUNNEL_TARGET    # from the client's namespace, before connecting"
  if "${ping[@]}" -c 1 -W 1 "$LAB_TUNNEL_TARGET" >/dev/null 2>&1; then
    die "$LAB_TUNNEL_TARGET answers without a tunnel"
  fi
  echo "no answer: $LAB_TUNNEL_TARGET is reachable only through the tunnel"
  echo

  echo "\$ velorin connect sg-node-01    # IKEv2 through the lab's client charon"
  local out=$DEMO_WORK/connect.out
  # Made here: the background command's own redirection may come later than
  # the first look at it below.
  : >"$out"
  "$DEMO_VELORIN" --config-dir "$config" connect --protocol ikev2 sg-node-01 >"$out" 2>&1 &
  local connect_pid=$!
  echo "$connect_pid" >"$DEMO_WORK/connect.pid"
  local shown=0 state=waiting
  for _ in $(seq 300); do
    local lines
    lines=$(wc -l <"$out")
    if [ "$lines" -gt "$shown" ]; then
      sed -n "$((shown + 1)),${lines}p" "$out" | sed 's/^/  /'
      shown=$lines
    fi
    if grep -q '^connected to ' "$out"; then state=connected; break; fi
    if ! kill -0 "$connect_pid" 2>/dev/null; then state=ended; break; fi
    sleep 0.1
  done
  if [ "$state" != connected ]; then
    kill -TERM "$connect_pid" 2>/dev/null || true
    wait "$connect_pid" 2>/dev/null || true
    sed -n "$((shown + 1)),\$p" "$out" | sed 's/^/  /'
    echo "the end of the client charon's log:" >&2
    grep -v '\[CFG\]  ' "$LAB_DIR/client/charon.log" | tail -n 12 >&2 || true
    die "the tunnel did not come up"
  fi
  # What came after the last look: the "connected to" line itself.
  sed -n "$((shown + 1)),\$p" "$out" | sed 's/^/  /'
  echo

  echo "\$ ping -c 3 $LAB_TUNNEL_TARGET    # from the client's namespace, through the tunnel"
  local ping_status=0
  "${ping[@]}" -c 3 -W 2 "$LAB_TUNNEL_TARGET" | sed 's/^/  /' || ping_status=$?
  echo

  echo "\$ kill -TERM $connect_pid    # what Ctrl-C does: disconnect"
  shown=$(wc -l <"$out")
  kill -TERM "$connect_pid"
  local connect_status=0
  wait "$connect_pid" || connect_status=$?
  rm -f "$DEMO_WORK/connect.pid"
  sed -n "$((shown + 1)),\$p" "$out" | sed 's/^/  /'
  echo "velorin connect exited with status $connect_status"
  [ "$ping_status" -eq 0 ] || die "no answer through the tunnel"
  [ "$connect_status" -eq 0 ] || die "velorin connect did not end cleanly"
  if "${ping[@]}" -c 1 -W 1 "$LAB_TUNNEL_TARGET" >/dev/null 2>&1; then
    die "$LAB_TUNNEL_TARGET still answers after the disconnect"
  fi
  echo "after the disconnect $LAB_TUNNEL_TARGET is unreachable again"
}

if [ "${1:-}" = --client-part ]; then
  client_part
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  die "needs root: the lab builds network namespaces and runs two charon daemons.
Run it as root (for example: sudo scripts/ikev2-demo.sh)."
fi

scripts/install-deps.sh build test lab
preset=${VELORIN_DEMO_PRESET:-release}
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j2 --target velorin velorin-devserver

bin=$root/build/$preset
export DEMO_VELORIN=$bin/src/cli/velorin DEMO_ROOT=$root
devserver=$bin/tools/devserver/velorin-devserver

work=$(mktemp -d "${TMPDIR:-/tmp}/velorin-ikev2-demo.XXXXXX")
chmod 700 "$work"
export DEMO_WORK=$work
server_pid=
lab_dir=
cleanup() {
  local status=$?
  if [ -f "$work/connect.pid" ]; then
    kill -TERM "$(cat "$work/connect.pid")" 2>/dev/null || true
    sleep 2
  fi
  if [ -n "$server_pid" ] && kill -0 "$server_pid" 2>/dev/null; then
    kill -TERM "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
    echo "development backend stopped"
  fi
  if [ -n "$lab_dir" ]; then
    scripts/ikev2-lab.sh down "$lab_dir"
    echo "IKEv2 lab torn down"
  fi
  rm -rf "$work"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

echo "Starting the IKEv2 lab..."
facts=$(scripts/ikev2-lab.sh up --owner $$)
set -a
eval "$facts"
set +a
lab_dir=$LAB_DIR
echo "lab: responder $LAB_SERVER_ADDRESS, client namespace $LAB_CLIENT_NETNS," \
     "address behind the tunnel $LAB_TUNNEL_TARGET"
echo "client charon: VELORIN_VICI_SOCKET=$VELORIN_VICI_SOCKET"

# The catalogue's first location, served by the lab's responder: the client
# connects to "sg-node-01" and the backend's configuration sends it to the
# lab (address, server identity = the address its certificate names).
cat >"$work/servers.json" <<EOF
{ "default_server": "sg-node-01",
  "servers": [ { "id": "sg-node-01", "address": "$LAB_SERVER_ADDRESS",
                 "name": "IKEv2 lab", "location": "Test net", "ikev2": {} } ] }
EOF
. "$root/scripts/devserver-start.sh"
start_devserver "$devserver" "$work" --servers "$work/servers.json" || die "the development backend did not start"
export VELORIN_BACKEND_URL=$url
export DEMO_EMAIL=$demo_email DEMO_PASSWORD=$demo_password
echo "development backend: $url"
echo "$account"
echo

tests/platform/with-secret-service.sh "$root/scripts/ikev2-demo.sh" --client-part
echo
echo "Done: the tunnel came up through velorin, carried traffic and went down."
