#!/usr/bin/env bash
# The main job: builds the client, starts the development backend with its
# demo account, signs in with it and runs the tray application against it.
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

scripts/install-deps.sh build test
preset=${VELORIN_DEMO_PRESET:-release}
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" --target velorin velorin-vpn velorin-devserver

bin=$root/build/$preset
velorin=$bin/src/cli/velorin
app=$bin/src/shell/velorin-vpn
devserver=$bin/tools/devserver/velorin-devserver

work=$(mktemp -d "${TMPDIR:-/tmp}/velorin-demo.XXXXXX")
server_pid=
cleanup() {
  if [ -n "$server_pid" ] && kill -0 "$server_pid" 2>/dev/null; then
    kill -TERM "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
    echo "development backend stopped"
  fi
  rm -rf "$work"
}
trap cleanup EXIT

. "$root/scripts/devserver-start.sh"
start_devserver "$devserver" "$work" || exit 1
email=$demo_email
password=$demo_password
echo "development backend: $url"
echo "$account"
echo

# The application has no sign-in of its own on the command line: the
# command-line program signs in over the same settings folder, and the
# application restores that session when it starts.
export VELORIN_BACKEND_URL=$url
config=$work/config
echo "\$ velorin login $email --password-stdin"
printf '%s\n' "$password" | "$velorin" --config-dir "$config" login "$email" --password-stdin
echo

if [ -n "${DISPLAY:-}" ]; then
  echo "Velorin VPN is running in the tray; quit it from the icon's menu or with Ctrl-C."
  status=0
  "$app" --config-dir "$config" || status=$?
  exit "$status"
fi

shots=${VELORIN_DEMO_SCREENSHOTS:-$root/build/demo-screenshots}
mkdir -p "$shots"
rm -f "$shots"/*.png "$shots/velorin-vpn.log"
runtime=$work/runtime
mkdir -m 0700 "$runtime"
echo "No display: running Velorin VPN on a virtual display with a tray host (trayer)."
# No session bus, so Qt docks the icon with trayer (XEmbed) rather than with a
# desktop elsewhere; no IKEv2 service socket, so the panel's connect attempt
# cannot touch a VPN service of this machine (it ends in the error state).
status=0
env -u DBUS_SESSION_BUS_ADDRESS XDG_RUNTIME_DIR="$runtime" \
    VELORIN_VICI_SOCKET="$work/no-ipsec-service.vici" \
  xvfb-run -a -s "-screen 0 1280x800x24 -nolisten tcp" \
  sh -c 'trayer --edge top --align right --widthtype request --height 26 --iconspacing 4 \
                --tint 0x2b2d31 --transparent true --alpha 0 --SetDockType true >/dev/null 2>&1 &
         tray=$!
         "$0" --config-dir "$1" --screenshots "$2" 2>"$2/velorin-vpn.log"
         status=$?
         kill "$tray" 2>/dev/null
         exit $status' "$app" "$config" "$shots" || status=$?
echo
echo "Screenshots are in $shots:"
ls -1 "$shots"/*.png
echo "The application's system log of this run: $shots/velorin-vpn.log"
exit "$status"
