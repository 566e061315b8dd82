#!/bin/sh
# with-private-bus.sh <command> [args...]
# Runs a command on a private D-Bus session bus, which goes away with it and
# also stands in for the system bus (where logind lives), so a test can play a
# system service. Exits 77 (skipped) without dbus-run-session.
command -v dbus-run-session >/dev/null 2>&1 || { echo "dbus-run-session is not installed; skipping" >&2; exit 77; }
exec dbus-run-session -- sh -c 'DBUS_SYSTEM_BUS_ADDRESS="$DBUS_SESSION_BUS_ADDRESS" exec "$@"' sh "$@"
