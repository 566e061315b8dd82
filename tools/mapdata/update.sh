#!/usr/bin/env bash
# Regenerates src/ui/map/mapdata/land.bin from the Natural Earth land outlines in
# the npm package world-atlas. Needs npm and Python 3; works in a temporary
# folder and leaves nothing else behind.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/../.." && pwd)"
version="${WORLD_ATLAS_VERSION:-2.0.2}"
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
(cd "$tmp" && npm pack --silent "world-atlas@$version" >/dev/null && tar xzf world-atlas-*.tgz)
python3 "$here/convert.py" "$tmp/package/land-50m.json" "$root/src/ui/map/mapdata/land.bin" --tolerance=0.02 --min-area=0.01
