#!/bin/sh
# Runs a test program on a private virtual display with a tray host:
#   with-tray.sh PROGRAM [ARGS...]
# Starts Xvfb on a free display and trayer on it, runs the program with
# DISPLAY pointing there and Qt's xcb platform, then stops both. No session
# bus is passed on, so Qt docks its icon with trayer (XEmbed). Exits 77 (the
# test is skipped) when Xvfb, trayer or xdotool is missing.
# With VELORIN_TRAY_HOST=none no trayer is started and the session bus is
# kept: the test plays a StatusNotifierItem host there itself.
for tool in Xvfb trayer xdotool; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "skipped: $tool is not installed (scripts/install-deps.sh test)"
    exit 77
  fi
done

tmp=$(mktemp -d)
# Xvfb writes the display number it took to descriptor 3 once it is ready.
Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$tmp/display" 2>"$tmp/xvfb.log" &
xvfb=$!
i=0
while [ ! -s "$tmp/display" ] && [ $i -lt 100 ]; do sleep 0.1; i=$((i + 1)); done
if [ ! -s "$tmp/display" ]; then
  echo "Xvfb did not start:"; cat "$tmp/xvfb.log"
  kill "$xvfb" 2>/dev/null; rm -rf "$tmp"; exit 1
fi
DISPLAY=":$(head -n 1 "$tmp/display")"
export DISPLAY
export QT_QPA_PLATFORM=xcb
[ "${VELORIN_TRAY_HOST:-}" = none ] || unset DBUS_SESSION_BUS_ADDRESS
# Under AddressSanitizer: libxkbcommon-x11 (Qt's xcb keyboard set-up) calls
# strndup on names that are not NUL-terminated; strndup stops at its length,
# but the strict string check reads the whole length and reports it.
if [ -n "${ASAN_OPTIONS:-}" ]; then
  export ASAN_OPTIONS="$ASAN_OPTIONS:strict_string_checks=0"
fi

tray=
if [ "${VELORIN_TRAY_HOST:-}" != none ]; then
  trayer --edge top --align right --widthtype request --height 26 \
         --tint 0x2b2d31 --transparent true --alpha 0 --SetDockType true >"$tmp/trayer.log" 2>&1 &
  tray=$!
  export VELORIN_TEST_TRAYER_PID=$tray
fi

"$@"
status=$?

kill $tray "$xvfb" 2>/dev/null
wait 2>/dev/null
rm -rf "$tmp"
exit $status
