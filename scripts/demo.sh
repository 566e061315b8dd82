#!/usr/bin/env bash
# The main job: builds the client, starts the development backend with its
# demo account, signs in with it and runs the tray application against it.
#
# As root, where network namespaces work, it first starts the IKEv2 lab
# (scripts/ikev2-lab.sh: a strongSwan responder and a client charon in two
# namespaces) and points the backend's first location (sg-node-01) at the
# lab's responder, so the application's connect goes through the real charon
# and ends connected; pings from the lab's client namespace to the address
# behind the tunnel show that it carries traffic. Where the lab cannot start
# it says why and the connect attempt ends in an error instead.
#
# With a display ($DISPLAY set) the application runs in the foreground: use
# the tray icon, quit from its menu ("Quit Velorin VPN") or with Ctrl-C.
# Without one it runs on a virtual display (Xvfb) with a tray host (trayer),
# walks through the tray, the panel and the windows once, saves a picture of
# each and says where they are.
#
#   scripts/demo.sh
#   VELORIN_DEMO_SCREENSHOTS=DIR scripts/demo.sh    # pictures into DIR
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

# The part that runs with the keychain of a throw-away session (without a
# display): sign in, teach the lab's responder the account, run the tour.
# Facts arrive in the environment.
if [ "${1:-}" = --client-part ]; then
  . "$root/scripts/devserver-start.sh"
  echo "\$ velorin login $DEMO_EMAIL --password-stdin"
  printf '%s\n' "$DEMO_PASSWORD" | "$DEMO_VELORIN" --config-dir "$DEMO_CONFIG" login "$DEMO_EMAIL" --password-stdin
  echo
  if [ -n "${LAB_DIR:-}" ]; then
    lab_accept_account "$DEMO_EMAIL" "$DEMO_PASSWORD" sg-node-01 "$LAB_DIR" || exit 1
    echo "The lab's responder accepts the EAP user $eap_user served to $DEMO_EMAIL."
    echo
  fi
  echo "Running Velorin VPN on a virtual display with a tray host (trayer)."
  # No desktop's tray on this private bus, so Qt docks the icon with trayer
  # (XEmbed).
  exec xvfb-run -a -s "-screen 0 1280x800x24 -nolisten tcp" \
    sh -c 'trayer --edge top --align right --widthtype request --height 26 --iconspacing 4 \
                  --tint 0x2b2d31 --transparent true --alpha 0 --SetDockType true >/dev/null 2>&1 &
           tray=$!
           "$0" --config-dir "$1" --screenshots "$2" 2>"$2/velorin-vpn.log"
           status=$?
           kill "$tray" 2>/dev/null
           exit $status' "$DEMO_APP" "$DEMO_CONFIG" "$DEMO_SHOTS"
fi

scripts/install-deps.sh build test
preset=${VELORIN_DEMO_PRESET:-release}
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" --target velorin velorin-vpn velorin-devserver

bin=$root/build/$preset
velorin=$bin/src/cli/velorin
app=$bin/src/shell/velorin-vpn
devserver=$bin/tools/devserver/velorin-devserver

work=$(mktemp -d "${TMPDIR:-/tmp}/velorin-demo.XXXXXX")
chmod 700 "$work"
server_pid=
lab_dir=
ping_pid=
cleanup() {
  local status=$?
  if [ -n "$ping_pid" ]; then
    kill -TERM "$ping_pid" 2>/dev/null || true
    wait "$ping_pid" 2>/dev/null || true
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

# The lab, where this machine allows it; otherwise the reason.
lab_unavailable=
start_lab() {
  if [ "$(id -u)" -ne 0 ]; then
    lab_unavailable="not running as root (the lab builds network namespaces and runs charon)"
    return 1
  fi
  if ! scripts/install-deps.sh lab >"$work/lab.log" 2>&1; then
    lab_unavailable="strongSwan could not be installed: $(tail -n 1 "$work/lab.log")"
    return 1
  fi
  local facts
  if ! facts=$(scripts/ikev2-lab.sh up --owner $$ 2>"$work/lab.log"); then
    lab_unavailable="the lab did not start: $(tail -n 1 "$work/lab.log")"
    return 1
  fi
  set -a
  eval "$facts"
  set +a
  lab_dir=$LAB_DIR
}

servers=()
echo "Starting the IKEv2 lab..."
if start_lab; then
  # The catalogue as shipped with the backend, its first location moved to
  # the lab's responder (address and server identity).
  sed "s/203\.0\.113\.10/$LAB_SERVER_ADDRESS/g" tools/devserver/servers.json >"$work/servers.json"
  servers=(--servers "$work/servers.json")
  echo "lab: responder $LAB_SERVER_ADDRESS serves sg-node-01; client charon VELORIN_VICI_SOCKET=$VELORIN_VICI_SOCKET;"
  echo "     $LAB_TUNNEL_TARGET is reachable from the namespace $LAB_CLIENT_NETNS only through the tunnel"
else
  echo "No IKEv2 lab: $lab_unavailable."
  echo "The application's connect attempt will end in an error: no IKEv2 service answers."
  # No IKEv2 service socket, so the connect attempt cannot touch a VPN
  # service of this machine.
  export VELORIN_VICI_SOCKET=$work/no-ipsec-service.vici
fi
echo

. "$root/scripts/devserver-start.sh"
start_devserver "$devserver" "$work" "${servers[@]}" || exit 1
echo "development backend: $url"
echo "$account"
echo

# Pings from the lab's client namespace through the tunnel, for as long as
# the application runs: they are answered only while it is connected.
start_pings() {
  [ -n "$lab_dir" ] || return 0
  ( while :; do
      ip netns exec "$LAB_CLIENT_NETNS" ping -n -D -c 1 -W 1 "$LAB_TUNNEL_TARGET" 2>&1 | grep 'bytes from' || true
      sleep 0.2
    done ) >"$work/pings.log" &
  ping_pid=$!
}
report_pings() {
  [ -n "$lab_dir" ] || return 0
  kill -TERM "$ping_pid" 2>/dev/null || true
  wait "$ping_pid" 2>/dev/null || true
  ping_pid=
  replies=$(grep -c 'bytes from' "$work/pings.log" || true)
  echo "ping $LAB_TUNNEL_TARGET from $LAB_CLIENT_NETNS: $replies answers through the tunnel"
  sed -n '1,3s/^/  /p' "$work/pings.log"
}

# The application has no sign-in of its own on the command line: the
# command-line program signs in over the same settings folder, and the
# application restores that session when it starts.
export VELORIN_BACKEND_URL=$url
export DEMO_EMAIL=$demo_email DEMO_PASSWORD=$demo_password DEMO_VELORIN=$velorin DEMO_APP=$app
export DEMO_CONFIG=$work/config

if [ -n "${DISPLAY:-}" ]; then
  echo "\$ velorin login $demo_email --password-stdin"
  printf '%s\n' "$demo_password" | "$velorin" --config-dir "$DEMO_CONFIG" login "$demo_email" --password-stdin
  if [ -n "$lab_dir" ]; then
    lab_accept_account "$demo_email" "$demo_password" sg-node-01 "$lab_dir" || exit 1
    echo "Connect from the panel: Singapore (sg-node-01) is the lab's responder."
  fi
  echo "Velorin VPN is running in the tray; quit it from the icon's menu or with Ctrl-C."
  start_pings
  status=0
  "$app" --config-dir "$DEMO_CONFIG" || status=$?
  report_pings
  exit "$status"
fi

shots=${VELORIN_DEMO_SCREENSHOTS:-$root/build/demo-screenshots}
mkdir -p "$shots"
rm -f "$shots"/*.png "$shots/velorin-vpn.log"
export DEMO_SHOTS=$shots
start_pings
status=0
tests/platform/with-secret-service.sh "$root/scripts/demo.sh" --client-part || status=$?
report_pings
echo
echo "Screenshots are in $shots:"
ls -1 "$shots"/*.png
echo "The application's system log of this run: $shots/velorin-vpn.log"
if [ -n "$lab_dir" ]; then
  if [ ! -f "$shots/05-panel-connected.png" ]; then
    echo "The application did not connect through the lab; the end of the client charon's log:" >&2
    grep -v '\[CFG\]  ' "$LAB_DIR/client/charon.log" | tail -n 12 >&2 || true
    status=1
  elif [ "${replies:-0}" -eq 0 ]; then
    echo "Connected, but no ping came through the tunnel." >&2
    status=1
  else
    echo "Connected through the real charon: the panel showed \"Connected\" and the tunnel carried pings."
  fi
fi
exit "$status"
