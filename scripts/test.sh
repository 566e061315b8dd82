#!/usr/bin/env bash
# Installs what is missing, configures, builds and runs the test suite.
#   scripts/test.sh [PRESET] [ctest arguments...]
# PRESET is one of debug (default), asan, tsan, release.
#   scripts/test.sh tsan -L tsan
# builds only the supervision and concurrency tests (those labelled "tsan")
# and the programs they start, and runs them: the short ThreadSanitizer run.
set -euo pipefail
cd "$(dirname "$0")/.."

preset="${1:-debug}"
shift || true

targets=()
if [[ "$preset" == tsan ]]; then
  previous=
  for argument in "$@"; do
    if [[ "$argument" == -Ltsan || ( "$previous" == -L && "$argument" == tsan ) ]]; then
      targets=(--target velorin_tsan_tests)
    fi
    previous="$argument"
  done
fi

scripts/install-deps.sh build test lab
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" "${targets[@]}"
ctest --preset "$preset" "$@"
