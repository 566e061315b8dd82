#!/usr/bin/env bash
# Mutation check of the test suite: plants the hand-made faults listed in
# scripts/mutants.txt one at a time, builds and runs the tests that should
# catch each, and reports the kill rate per layer. See scripts/mutate.py.
#   scripts/mutate.sh --check        every snippet still applies?
#   scripts/mutate.sh --baseline     build, and run the tests unmutated once
#   scripts/mutate.sh --all          the whole set (results in build/mutation/results.md)
#   scripts/mutate.sh ID...          chosen mutants; --survivors, --layer L, --report
set -euo pipefail
cd "$(dirname "$0")/.."
exec python3 scripts/mutate.py "$@"
