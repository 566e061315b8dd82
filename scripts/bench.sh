#!/usr/bin/env bash
# The benchmark suite: start-up, idle footprint, sign-in and connect latency,
# memory over many cycles and the installed size, each measured beside its
# floor or a baseline in the same run (the machine is noisy: read the ratios).
# Builds the release preset with the benchmark programs (bench/), runs
# everything in a few minutes and writes the table to build/bench/results.md
# (or $VELORIN_BENCH_OUT/results.md), which it also prints. The samples behind
# it are in samples.txt beside it, the programs' diagnostics in bench.log.
#
#   scripts/bench.sh
#
# As root it also builds the IKEv2 lab (scripts/ikev2-lab.sh) for the IKEv2
# figures; without root those rows are skipped with a note.
# VELORIN_BENCH_IDLE_WINDOWS (default 6) windows of VELORIN_BENCH_IDLE_WINDOW
# seconds (default 15) make up the idle measurement.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
bin=$root/build/release
bench=$bin/bench/velorin-bench
tray=$bin/bench/velorin-bench-tray
app=$bin/src/shell/velorin-vpn
cli=$bin/src/cli/velorin
devserver=$bin/tools/devserver/velorin-devserver

step() { printf '[%s] %s\n' "$(date +%H:%M:%S)" "$*" >&2; }
note() { echo "note $*" >>"$BENCH_SAMPLES"; }
run_bench() {
  "$bench" "$@" >>"$BENCH_SAMPLES" 2>>"$BENCH_LOG" ||
    { echo "velorin-bench $1 failed; the end of $BENCH_LOG:" >&2; tail -n 20 "$BENCH_LOG" >&2; exit 1; }
}

# heaptrack over a short and a long run of cycles, each ended without
# tearing anything down (--no-teardown), so what the cycles still hold shows
# as leaked; the difference over the extra cycles is what each cycle keeps.
# The two records' difference by call site goes to heaptrack-NAME.txt.
leaked_bytes() {
  heaptrack_print -f "$1" 2>/dev/null | sed -n 's/^total memory leaked: \([0-9.]*\)\([KMG]\{0,1\}\)B\{0,1\}.*/\1 \2/p' |
    awk '{ m = $2 == "K" ? 1e3 : $2 == "M" ? 1e6 : $2 == "G" ? 1e9 : 1; printf "%.0f\n", $1 * m }'
}
heaptrack_cycles() {
  local name=$1 key=$2
  shift 2
  local files=() counts=()
  for n in 30 150; do
    local base=$BENCH_WORK/heaptrack-$name-$n
    # GLib hands out its slices from malloc here, so they show by call site.
    G_SLICE=always-malloc TMPDIR=$BENCH_WORK heaptrack -o "$base" "$bench" "$@" --cycles "$n" --no-teardown >"$base.out" 2>>"$BENCH_LOG"
    local record=
    for f in "$base".*; do
      case $f in *.zst | *.gz) record=$f ;; esac
    done
    files+=("$record")
    counts+=("$(sed -n "s/^note [^:]*: \([0-9]*\) cycles.*/\1/p;T;q" "$base.out")")
  done
  local a b
  a=$(leaked_bytes "${files[0]}")
  b=$(leaked_bytes "${files[1]}")
  heaptrack_print -f "${files[1]}" -d "${files[0]}" --print-leaks 1 --print-peaks 0 --print-allocators 0 \
    --print-temporary 0 >"$BENCH_WORK/heaptrack-$name.diff" 2>/dev/null || true
  sed -n '/^MEMORY LEAKS/,$p' "$BENCH_WORK/heaptrack-$name.diff" | sed -n '1,400p' >"$BENCH_OUT/heaptrack-$name.txt"
  if [ -n "$a" ] && [ -n "$b" ] && [ -n "${counts[0]}" ] && [ -n "${counts[1]}" ] && [ "${counts[1]}" -gt "${counts[0]}" ]; then
    echo "sample heaptrack.$key.held_bytes_per_cycle 0 $(awk -v a="$a" -v b="$b" -v n=$((counts[1] - counts[0])) 'BEGIN { printf "%.1f", (b - a) / n }')" >>"$BENCH_SAMPLES"
    note "heaptrack, $name: still held at the end $a B after ${counts[0]} cycles, $b B after ${counts[1]}; the difference by call site in heaptrack-$name.txt"
  else
    note "heaptrack, $name: no summary (see bench.log)"
  fi
}

# On the virtual display, with a tray host: start-up there, then the idle
# footprint and the libraries of the signed-in application beside the
# minimal tray program.
on_display() {
  trayer --edge top --align right --widthtype request --height 26 --SetDockType true >/dev/null 2>&1 &
  local trayer_pid=$!
  sleep 0.5
  step "1/6 start-up on Xvfb with trayer (8 starts of each)"
  run_bench startup --mode xvfb --runs 7 --app "$app" --app-args "--config-dir $BENCH_WORK/config-fresh" \
    --baseline "$tray"

  local windows=${VELORIN_BENCH_IDLE_WINDOWS:-6} window=${VELORIN_BENCH_IDLE_WINDOW:-15}
  step "2/6 idle footprint: the signed-in application and the minimal tray program, $windows x $window s"
  VELORIN_BACKEND_URL=$BENCH_BACKEND "$app" --config-dir "$BENCH_WORK/config-idle" >"$BENCH_WORK/app-idle.log" 2>&1 &
  local app_pid=$!
  "$tray" 2>/dev/null &
  local tray_pid=$!
  # The session restore and the first paint are over by then.
  sleep 5
  run_bench idle --pid "$app_pid" --floor-pid "$tray_pid" --window "$window" --windows "$windows"
  step "6/6 resident libraries of both"
  run_bench libraries --pid "$app_pid" --floor-pid "$tray_pid"
  kill -TERM "$app_pid" "$tray_pid" 2>/dev/null || true
  wait "$app_pid" "$tray_pid" 2>/dev/null || true
  kill -TERM "$trayer_pid" 2>/dev/null || true
}

# Inside the IKEv2 lab, on a session bus with an unlocked keyring: the
# connect latency beside a bare swanctl, and the connect/disconnect cycles.
in_lab() {
  step "4/6 IKEv2 through the lab: velorin beside swanctl --initiate (8 of each)"
  run_bench connect-ikev2 --runs 7 --keychain secret-service
  step "5/6 200 IKEv2 connect/disconnect cycles through the lab"
  run_bench cycles-connect --protocol ikev2-lab --cycles 200 --keychain secret-service
  step "5/6 200 rounds of the Secret Service calls of a connect, and 200 reads alone"
  run_bench cycles-keychain --cycles 200
  run_bench cycles-keychain --cycles 200 --reads-only
  step "5/6 heaptrack over 30 and 150 IKEv2 connect/disconnect cycles through the lab"
  heaptrack_cycles ikev2-lab ikev2_lab cycles-connect --protocol ikev2-lab --keychain secret-service
}

case "${1:-}" in
  --on-display) on_display; exit 0 ;;
  --in-lab) in_lab; exit 0 ;;
  "") ;;
  *) sed -n '2,/^set -euo/p' "$0" | sed '$d' | sed 's/^# \{0,1\}//' >&2; exit 2 ;;
esac

groups="build test bench"
is_root=0
if [ "$(id -u)" -eq 0 ]; then is_root=1; groups="$groups lab"; fi
scripts/install-deps.sh $groups
step "building the release preset with the benchmark programs"
cmake --preset release -DVELORIN_BUILD_BENCH=ON >/dev/null
cmake --build --preset release -j2 --target velorin-vpn velorin velorin-devserver velorin-bench \
  velorin-bench-tray fake-xray fake-networksetup
started=$(date +%s)

out=${VELORIN_BENCH_OUT:-$root/build/bench}
mkdir -p "$out"
export BENCH_OUT=$out BENCH_SAMPLES=$out/samples.txt BENCH_LOG=$out/bench.log
: >"$BENCH_SAMPLES"
: >"$BENCH_LOG"
work=$(mktemp -d "${TMPDIR:-/tmp}/velorin-bench.XXXXXX")
export BENCH_WORK=$work
server_pid=
cleanup() {
  if [ -n "$server_pid" ]; then
    kill -TERM "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Every program here: its own runtime folder, no session bus (the tray icon
# docks with trayer over XEmbed, as in the demo), and no IKE daemon socket,
# so nothing touches a VPN service of this machine.
mkdir -m 0700 "$work/runtime"
export XDG_RUNTIME_DIR=$work/runtime
export VELORIN_VICI_SOCKET=$work/no-ipsec-service.vici
export VELORIN_SUPPORT_DIR=$bin/tests/support
unset DBUS_SESSION_BUS_ADDRESS
export HOME=$work/home XDG_CONFIG_HOME=$work/home/.config XDG_CACHE_HOME=$work/home/.cache
mkdir -p "$HOME"

step "1/6 start-up offscreen (8 starts of each)"
QT_QPA_PLATFORM=offscreen run_bench startup --mode offscreen --runs 7 --app "$app" \
  --app-args "--config-dir $work/config-fresh" --baseline "$tray"

step "1/6 velorin status through the running application (15 of each)"
run_bench control-status --runs 15 --app "$app" --cli "$cli"

# A backend and a signed-in settings folder for the idle application.
"$devserver" --data "$work/backend" --port 0 --seed-demo >"$work/backend.log" 2>&1 &
server_pid=$!
for _ in $(seq 200); do
  grep -q '^demo account: ' "$work/backend.log" && break
  sleep 0.1
done
export BENCH_BACKEND
BENCH_BACKEND=$(sed -n 's/^velorin-devserver listening on //p' "$work/backend.log" | head -n 1)
[ -n "$BENCH_BACKEND" ] || { cat "$work/backend.log" >&2; exit 1; }
echo velorin-demo | VELORIN_BACKEND_URL=$BENCH_BACKEND \
  "$cli" --config-dir "$work/config-idle" login demo@example.com --password-stdin >/dev/null

xvfb-run -a -s "-screen 0 1280x800x24 -nolisten tcp" "$0" --on-display

step "3/6 sign-in against the development backend (15 of each)"
run_bench signin --runs 15

step "4/6 Xray connect with the fake xray and proxy tool (5 connects)"
run_bench connect-xray --runs 5
step "4/6 the system proxy set and restored: GNOME settings, KDE kioslaverc, the proxy tool (15 of each)"
run_bench proxy-set --runs 15

if [ $is_root -eq 1 ]; then
  VELORIN_LAB_SCRIPT=$root/scripts/ikev2-lab.sh \
    scripts/ikev2-lab.sh run -- tests/platform/with-secret-service.sh "$0" --in-lab 2>>"$BENCH_LOG"
else
  note "IKEv2 through the lab: skipped (the lab needs root: network namespaces and two charon daemons)"
fi

step "5/6 200 sign-in/sign-out cycles, 200 rounds of the bare requests, 200 Xray and 200 IKEv2 (stand-in daemon) connect/disconnect cycles"
run_bench cycles-signin --cycles 200
run_bench cycles-signin --cycles 200 --bare
run_bench cycles-connect --protocol xray --cycles 200
run_bench cycles-connect --protocol ikev2-fake --cycles 200

step "5/6 heaptrack over 30 and 150 sign-in/sign-out and Xray connect/disconnect cycles"
heaptrack_cycles signin signin cycles-signin
heaptrack_cycles xray xray cycles-connect --protocol xray

step "6/6 installed size"
rm -rf "$work/prefix"
cmake --install "$bin" --prefix "$work/prefix" --component client --strip >/dev/null
echo "sample install.kib 0 $(du -sk "$work/prefix" | cut -f1)" >>"$BENCH_SAMPLES"
cp "$tray" "$work/tray-stripped"
strip "$work/tray-stripped"
echo "sample install.kib_floor 0 $(du -sk "$work/tray-stripped" | cut -f1)" >>"$BENCH_SAMPLES"
note "installed files: $(cd "$work/prefix" && find . -type f | sed 's|^\./||' | sort | tr '\n' ' ')"

{
  echo "# Velorin VPN benchmarks"
  echo
  echo "$(date -u +%Y-%m-%dT%H:%MZ), commit $(git rev-parse --short HEAD 2>/dev/null || echo '?')," \
       "$(nproc) cores ($(sed -n 's/^model name\s*: //p;T;q' /proc/cpuinfo)), kernel $(uname -r)," \
       "release build; $(( $(date +%s) - started )) s."
  echo
  awk -F'|' -f bench/table.awk bench/rows.txt "$BENCH_SAMPLES"
} >"$out/results.md"
echo
cat "$out/results.md"
echo
echo "The table: $out/results.md (samples: $BENCH_SAMPLES)"
