#!/bin/sh
# with-tray.sh PROGRAM [ARGS...]: runs PROGRAM on a private Xvfb display with
# trayer as tray host. No session bus is passed on, so Qt docks its icon with
# trayer (XEmbed). With VELORIN_TRAY_HOST=none no trayer starts and the bus is
# kept: the test plays a StatusNotifierItem host itself. Exits 77 (skipped)
# when Xvfb, trayer or xdotool is missing.
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
# libxkbcommon-x11 calls strndup on names that are not NUL-terminated; the
# strict string check of AddressSanitizer reads past them and reports it.
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
