#!/usr/bin/env bash
# Installs what is missing, configures, builds and runs the test suite.
#   scripts/test.sh [PRESET] [ctest arguments...]
# PRESET is one of debug (default), asan, tsan, release.
set -euo pipefail
cd "$(dirname "$0")/.."

preset="${1:-debug}"
shift || true

scripts/install-deps.sh build test lab
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"
ctest --preset "$preset" "$@"
