# Sourced by the demo scripts.
#   start_devserver DEVSERVER WORK [ARGUMENT...]
# Starts the development backend on a free loopback port with its demo account,
# data under WORK/backend and its output in WORK/backend.log, and waits for it:
# the backend prints its address on its first line and the demo account's
# credentials on a later one. Sets server_pid, url, account (that line),
# demo_email and demo_password. On failure prints the log and returns 1.
start_devserver() {
  local devserver=$1 work=$2
  shift 2
  "$devserver" --data "$work/backend" --port 0 --seed-demo "$@" >"$work/backend.log" 2>&1 &
  server_pid=$!
  for _ in $(seq 200); do
    grep -q '^demo account: ' "$work/backend.log" && break
    kill -0 "$server_pid" 2>/dev/null || break
    sleep 0.1
  done
  url=$(sed -n 's/^velorin-devserver listening on //p' "$work/backend.log" | head -n 1)
  account=$(grep -m 1 '^demo account: ' "$work/backend.log" || true)
  if [ -z "$url" ] || [ -z "$account" ]; then
    echo "the development backend did not start:" >&2
    cat "$work/backend.log" >&2
    return 1
  fi
  demo_email=$(sed -n 's/.* email=\([^ ]*\).*/\1/p' <<<"$account")
  demo_password=$(sed -n 's/.* password=\([^ ]*\).*/\1/p' <<<"$account")
}
