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

#   lab_accept_account EMAIL PASSWORD SERVER_ID LAB_DIR
# Makes the IKEv2 lab's responder in LAB_DIR accept the EAP user name and
# password that the backend at $VELORIN_BACKEND_URL serves to the account for
# SERVER_ID, read as the client reads them (a sign-in, then the IKEv2
# configuration). Sets eap_user. Returns 1 with a reason on failure.
lab_accept_account() {
  local email=$1 password=$2 server=$3 lab=$4 token config_json eap_password
  token=$(curl -fsS -H 'Content-Type: application/json' \
            -d "{\"email\":\"$email\",\"password\":\"$password\"}" \
            "$VELORIN_BACKEND_URL/auth/login" | sed -n 's/.*"access_token": *"\([^"]*\)".*/\1/p')
  if [ -z "$token" ]; then
    echo "could not sign in to the backend with curl" >&2
    return 1
  fi
  config_json=$(curl -fsS -H "Authorization: Bearer $token" \
                  "$VELORIN_BACKEND_URL/api/v1/ikev2/config?server_id=$server")
  eap_user=$(sed -n 's/.*"username": *"\([^"]*\)".*/\1/p' <<<"$config_json")
  eap_password=$(sed -n 's/.*"password": *"\([^"]*\)".*/\1/p' <<<"$config_json")
  if [ -z "$eap_user" ] || [ -z "$eap_password" ]; then
    echo "the backend served no EAP credentials" >&2
    return 1
  fi
  printf '%s\n' "$eap_password" | "$(dirname "${BASH_SOURCE[0]}")/ikev2-lab.sh" add-eap-user "$lab" "$eap_user"
}
