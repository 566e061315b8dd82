#!/bin/sh
# with-session-bus.sh <command> [args...]
# Runs a command on a private D-Bus session bus, which goes away with it.
# Exits 77 (reported as skipped) when dbus-run-session is not installed.
command -v dbus-run-session >/dev/null 2>&1 || { echo "with-session-bus: no dbus-run-session; skipping" >&2; exit 77; }
unset DBUS_SESSION_BUS_ADDRESS
exec dbus-run-session -- "$@"
