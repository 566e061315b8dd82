#!/bin/sh
# with-secret-service.sh <command> [args...]
# Runs a command on a private D-Bus session bus where an unlocked gnome-keyring
# is the Secret Service, with a throw-away HOME and XDG_RUNTIME_DIR (0700).
# Exits 77 (skipped) without dbus-run-session or gnome-keyring-daemon
# (scripts/install-deps.sh test installs them).
set -eu

for tool in dbus-run-session gnome-keyring-daemon; do
  command -v "$tool" >/dev/null 2>&1 || { echo "with-secret-service: $tool is not installed; skipping" >&2; exit 77; }
done

scratch=$(mktemp -d "${TMPDIR:-/tmp}/velorin-keyring.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
trap 'exit 130' INT TERM
mkdir -m 700 "$scratch/home" "$scratch/runtime"

export HOME="$scratch/home"
export XDG_RUNTIME_DIR="$scratch/runtime"
# Unset, the data, config and cache folders default to ones under HOME.
unset XDG_DATA_HOME XDG_CONFIG_HOME XDG_CACHE_HOME DBUS_SESSION_BUS_ADDRESS GNOME_KEYRING_CONTROL

# The keyring's password only unlocks this throw-away login keyring.
dbus-run-session -- sh -c '
  eval "$(printf "%s" velorin-test | gnome-keyring-daemon --unlock --components=secrets)"
  export GNOME_KEYRING_CONTROL
  exec "$@"' with-secret-service "$@"
