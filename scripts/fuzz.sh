#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer + UndefinedBehavior-
# Sanitizer, their own build folder build/fuzz) and runs each for a bounded
# time over its seed corpus (fuzz/corpus/<target>) and dictionary.
#   scripts/fuzz.sh [SECONDS_PER_TARGET] [TARGET...]
# SECONDS_PER_TARGET defaults to 60; without TARGETs every target runs.
# Fails when any target crashes, leaks, hangs on one input (over 10 s), runs
# out of memory or trips a sanitizer; the input that did it is saved under
# build/fuzz/artifacts/<target>/ and the command that replays it is printed.
# New inputs found go to build/fuzz/corpus/<target>, never into the repo.
# VELORIN_FUZZ_BUILD names another build folder (a clean CI build).
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-60}"
shift || true
case "$seconds" in (*[!0-9]*|'') echo "usage: $0 [SECONDS_PER_TARGET] [TARGET...]" >&2; exit 2 ;; esac

scripts/install-deps.sh build fuzz

build="${VELORIN_FUZZ_BUILD:-build/fuzz}"
cmake -S . -B "$build" -G Ninja -DVELORIN_FUZZ=ON -DCMAKE_CXX_COMPILER=clang++ \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELORIN_WERROR=ON >/dev/null
cmake --build "$build" -j"$(nproc)"

if [ $# -gt 0 ]; then targets=("$@"); else read -r -a targets < <(tr ";" " " < "$build/fuzz-targets.txt") || true; fi

export ASAN_OPTIONS="detect_leaks=1:allocator_may_return_null=1:strict_string_checks=1:detect_stack_use_after_return=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

failed=()
summary=()
for target in "${targets[@]}"; do
  seeds="fuzz/corpus/$target"
  work="$build/corpus/$target"
  artifacts="$build/artifacts/$target"
  [ -d "$seeds" ] || { echo "no seed corpus $seeds" >&2; exit 2; }
  mkdir -p "$work" "$artifacts"
  dict="$build/dict/$target.dict"
  mkdir -p "$build/dict"
  case "$target" in
    vici_*) cat fuzz/dict/vici.dict > "$dict" ;;
    date) cat fuzz/dict/date.dict > "$dict" ;;
    *) cat fuzz/dict/json.dict "fuzz/dict/$target.dict" > "$dict" ;;
  esac
  log="$build/$target.log"
  echo "== fuzz_$target: ${seconds}s"
  status=0
  "$build/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -dict="$dict" -artifact_prefix="$artifacts/" -print_final_stats=1 \
      "$work" "$seeds" >"$log" 2>&1 || status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  corpus=$(ls "$work" | wc -l)
  if [ "$status" -ne 0 ]; then
    failed+=("$target")
    summary+=("$(printf '%-20s %12s %8s %7s  FAILED (exit %s)' "$target" "${runs:-?}" "${rate:-?}" "$corpus" "$status")")
    grep -E 'ERROR: |SUMMARY: |property broken|runtime error|Test unit written' "$log" | head -20 || true
    echo "   full log: $log"
    for input in "$artifacts"/*; do
      [ -e "$input" ] && echo "   replay: $build/fuzz/fuzz_$target $input"
    done
  else
    summary+=("$(printf '%-20s %12s %8s %7s  ok' "$target" "$runs" "$rate" "$corpus")")
  fi
done

echo
printf '%-20s %12s %8s %7s  %s\n' target executions exec/s corpus result
printf '%s\n' "${summary[@]}"
if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzzing found problems in: ${failed[*]}" >&2
  exit 1
fi
