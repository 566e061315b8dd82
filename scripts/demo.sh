#!/usr/bin/env bash
# The main job: builds the client and shows it working.
# The command-line program picks a server in a throw-away settings folder, and
# a second run shows that the choice survived the restart.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh build
cmake --preset release >/dev/null
cmake --build --preset release --target velorin

velorin=build/release/src/cli/velorin
config=$(mktemp -d)
trap 'rm -rf "$config"' EXIT

echo "\$ velorin servers"
"$velorin" --config-dir "$config" servers
echo
echo "\$ velorin select us-west-01"
"$velorin" --config-dir "$config" select us-west-01
echo
echo "\$ velorin servers    # a new process reads the stored choice"
"$velorin" --config-dir "$config" servers
