#!/usr/bin/env bash
# A throw-away IKEv2 lab: an IKEv2 responder and a client charon, each in its
# own network namespace, joined by a veth pair. Nothing outside the two
# namespaces and the lab folder is touched; teardown stops only the processes
# the lab started (by their pids) and deletes only its own namespaces.
#
#   scripts/ikev2-lab.sh up [--dir DIR] [--esp userspace|kernel] [--owner PID]
#                           [--dns-tool PROGRAM]
#       Builds the lab, leaves it running and prints its facts as shell
#       assignments (eval-able). With --owner, the lab tears itself down when
#       that process ends (a test that crashes leaves nothing behind).
#       The facts, for example:
#         LAB_DIR=/tmp/velorin-ikev2-lab.Ab12Cd
#         LAB_SERVER_ADDRESS=10.231.0.1      responder with the trusted certificate;
#                                            assigns IPv4 and IPv6 addresses and
#                                            a DNS server inside the tunnel
#         LAB_IMPOSTOR_ADDRESS=10.231.0.3    same responder, certificate of another CA
#         LAB_WRONG_NAME_ADDRESS=10.231.0.4  trusted CA, certificate of 10.231.0.1
#         LAB_NO_DNS_ADDRESS=10.231.0.5      assigns no DNS server
#         LAB_BAD_DNS_ADDRESS=10.231.0.6     assigns a DNS server outside the tunnel
#         LAB_IPV4_ONLY_ADDRESS=10.231.0.7   carries no IPv6
#         LAB_UNREACHABLE_ADDRESS=10.231.0.9 nobody answers there
#         LAB_TUNNEL_TARGET=10.232.0.1       reachable only through the tunnel
#         LAB_TUNNEL_TARGET6=fd00:232::1     the same over IPv6
#         LAB_EAP_USER=... LAB_EAP_PASSWORD=...
#         LAB_CA_FILE=$LAB_DIR/pki/ca.pem   the certificate of "CN=Velorin VPN CA"
#         LAB_CLIENT_NETNS=... LAB_SERVER_NETNS=...
#         LAB_CLIENT_RESOLV_CONF=...         the client charon writes the tunnel's
#                                            DNS servers there (its resolve plugin)
#         LAB_DNS_NAME=lab.velorin.test      with --dns-tool: answered with
#         LAB_DNS_TUNNEL_ANSWER=10.232.0.80  by the DNS server inside the tunnel,
#         LAB_DNS_LAN_ANSWER=10.231.0.80     by the local network's one; each
#         LAB_DNS_TUNNEL_LOG=... LAB_DNS_LAN_LOG=...  logs the names it was asked
#         VELORIN_VICI_SOCKET=$LAB_DIR/client/charon.vici  (the client charon,
#                                            usable by every user of the machine)
#         VELORIN_IKEV2_CA_FILE=$LAB_CA_FILE
#   scripts/ikev2-lab.sh down DIR
#       Stops the lab's daemons and deletes its namespaces and folder.
#   scripts/ikev2-lab.sh run [--esp ...] -- COMMAND [ARGS...]
#       up, then COMMAND with the facts in its environment, then down.
#   scripts/ikev2-lab.sh add-eap-user DIR USER < PASSWORD
#       Makes the responder of the running lab in DIR accept one more EAP
#       user (the password is the first line of standard input), for
#       instance the credentials a backend serves to an account.
#
# --esp userspace (default) moves ESP through a TUN device inside charon
# (kernel-libipsec), which works on kernels without ESP/AES-GCM support.
# --esp kernel uses the kernel's IPsec instead. --dns-tool names the lab's
# DNS responder program (tests/lab/lab_dns.cpp). Needs root.
set -euo pipefail

CHARON=/usr/lib/ipsec/charon
SERVER_ADDRESS=10.231.0.1
CLIENT_ADDRESS=10.231.0.2
IMPOSTOR_ADDRESS=10.231.0.3
WRONG_NAME_ADDRESS=10.231.0.4
NO_DNS_ADDRESS=10.231.0.5
BAD_DNS_ADDRESS=10.231.0.6
IPV4_ONLY_ADDRESS=10.231.0.7
UNREACHABLE_ADDRESS=10.231.0.9
TUNNEL_TARGET=10.232.0.1
TUNNEL_NET=10.232.0.0/24
TUNNEL_DNS=10.232.0.53
LAN_DNS=10.231.0.53
SERVER_ADDRESS6=fd00:231::1
CLIENT_ADDRESS6=fd00:231::2
TUNNEL_TARGET6=fd00:232::1
TUNNEL_NET6=fd00:232::/64
POOL6=fd00:232:100::/120
DNS_NAME=lab.velorin.test
DNS_TUNNEL_ANSWER=10.232.0.80
DNS_LAN_ANSWER=10.231.0.80
EAP_USER=velorin-lab

die() { echo "ikev2-lab: $*" >&2; exit 1; }

need_root() {
  [ "$(id -u)" -eq 0 ] || die "needs root (network namespaces and charon)"
  for tool in "$CHARON" swanctl pki ip unshare; do
    command -v "$tool" >/dev/null 2>&1 || [ -x "$tool" ] ||
      die "missing $tool: run scripts/install-deps.sh lab"
  done
}

# Stops what the lab in $1 started. Safe to call on a half-built lab.
teardown() {
  local dir=$1 pid ns
  [ -d "$dir" ] || return 0
  # The owner watch, unless it is the one tearing down.
  if [ -f "$dir/watch.pid" ]; then
    pid=$(cat "$dir/watch.pid")
    [ "$pid" != "${BASHPID:-}" ] && kill -TERM "$pid" 2>/dev/null || true
  fi
  if [ -f "$dir/pids" ]; then
    while read -r pid; do
      [ -n "$pid" ] && kill -TERM "$pid" 2>/dev/null || true
    done <"$dir/pids"
    for _ in $(seq 1 30); do
      local alive=0
      while read -r pid; do
        [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null && alive=1
      done <"$dir/pids"
      [ $alive -eq 0 ] && break
      sleep 0.1
    done
    while read -r pid; do
      [ -n "$pid" ] && kill -KILL "$pid" 2>/dev/null || true
    done <"$dir/pids"
  fi
  if [ -f "$dir/netns" ]; then
    while read -r ns; do
      [ -n "$ns" ] && ip netns delete "$ns" 2>/dev/null || true
    done <"$dir/netns"
  fi
  case "$dir" in
    */velorin-ikev2-lab.*) rm -rf "$dir" ;;
  esac
}

pki_quiet() { pki "$@" 2> >(grep -v '^plugin ' >&2); }

make_pki() {
  local p=$1
  mkdir -p "$p"
  # The CA the client trusts, and an impostor CA with the same name but its
  # own key: a certificate it signs must not be accepted.
  pki_quiet --gen --type rsa --size 2048 --outform pem >"$p/ca.key"
  pki_quiet --self --ca --lifetime 30 --in "$p/ca.key" --type rsa \
    --dn "CN=Velorin VPN CA" --outform pem >"$p/ca.pem"
  pki_quiet --gen --type rsa --size 2048 --outform pem >"$p/impostor-ca.key"
  pki_quiet --self --ca --lifetime 30 --in "$p/impostor-ca.key" --type rsa \
    --dn "CN=Velorin VPN CA" --outform pem >"$p/impostor-ca.pem"
  # One certificate for the trusted responder's addresses; not for
  # $WRONG_NAME_ADDRESS, which presents it although it was not issued for it.
  issue_server "$p" server ca "$SERVER_ADDRESS" "$NO_DNS_ADDRESS" "$BAD_DNS_ADDRESS" "$IPV4_ONLY_ADDRESS"
  issue_server "$p" impostor impostor-ca "$IMPOSTOR_ADDRESS"
  chmod 600 "$p"/*.key
}

issue_server() {
  local p=$1 name=$2 ca=$3 san
  shift 3
  local sans=()
  for san in "$@"; do sans+=(--san "$san"); done
  pki_quiet --gen --type rsa --size 2048 --outform pem >"$p/$name.key"
  pki_quiet --pub --in "$p/$name.key" --type rsa |
    pki_quiet --issue --lifetime 30 --cacert "$p/$ca.pem" --cakey "$p/$ca.key" \
      --dn "CN=$1" "${sans[@]}" --flag serverAuth --flag ikeIntermediate \
      --outform pem >"$p/$name.pem"
}

write_strongswan_conf() {
  local side=$1 dir=$2 esp=$3 plugins extra="" plugin_conf=""
  # Order matters: the first IPsec backend in the list wins, so
  # kernel-libipsec must come before kernel-netlink.
  plugins="random nonce openssl pem pkcs1 pkcs8 x509 revocation constraints pubkey"
  plugins+=" sha1 sha2 md5 hmac gcm aes kdf"
  [ "$esp" = userspace ] && plugins+=" kernel-libipsec"
  plugins+=" kernel-netlink socket-default vici updown attr eap-identity eap-mschapv2"
  if [ "$side" = client ]; then
    # The DNS servers the responder assigns go to the lab's own file, never
    # to the machine's /etc/resolv.conf.
    plugins+=" resolve"
    plugin_conf="resolve { file = $dir/resolv.conf }"
  else
    # A test client retries from one address many times; the default
    # denial-of-service protection would start ignoring it.
    extra="dos_protection = no
  block_threshold = 1000
  cookie_threshold = 1000"
  fi
  cat >"$dir/strongswan.conf" <<EOF
charon {
  load_modular = no
  load = $plugins
  install_virtual_ip = yes
  retransmit_tries = 2
  retransmit_timeout = 1.0
  retransmit_base = 1.0
  $extra
  plugins {
    vici { socket = unix://$dir/charon.vici }
    $plugin_conf
  }
  filelog {
    lab {
      path = $dir/charon.log
      time_format = %H:%M:%S
      default = 1
      ike = 2
      cfg = 2
    }
  }
  syslog {
    daemon { default = -1 }
  }
}
swanctl {
  load = pem pkcs1 pkcs8 x509 openssl
}
pki {
  load = pem pkcs1 x509 openssl random
}
EOF
}

# One responder per address, each showing one way a server can be:
# name  address  certificate  identity  pools  networks behind it
RESPONDERS="
server $SERVER_ADDRESS server $SERVER_ADDRESS lab-pool,lab-pool6 $TUNNEL_NET,$TUNNEL_NET6
impostor $IMPOSTOR_ADDRESS impostor $IMPOSTOR_ADDRESS lab-pool,lab-pool6 $TUNNEL_NET,$TUNNEL_NET6
wrongname $WRONG_NAME_ADDRESS server $SERVER_ADDRESS lab-pool,lab-pool6 $TUNNEL_NET,$TUNNEL_NET6
nodns $NO_DNS_ADDRESS server $NO_DNS_ADDRESS nodns-pool,lab-pool6 $TUNNEL_NET,$TUNNEL_NET6
baddns $BAD_DNS_ADDRESS server $BAD_DNS_ADDRESS baddns-pool,lab-pool6 $TUNNEL_NET,$TUNNEL_NET6
ipv4only $IPV4_ONLY_ADDRESS server $IPV4_ONLY_ADDRESS lab-pool $TUNNEL_NET
"

write_server_swanctl() {
  local dir=$1 password=$2 p=$3
  mkdir -p "$dir/swanctl/x509" "$dir/swanctl/private"
  cp "$p/server.pem" "$p/impostor.pem" "$dir/swanctl/x509/"
  cp "$p/server.key" "$p/impostor.key" "$dir/swanctl/private/"
  local name address cert id pools nets
  echo "connections {" >"$dir/swanctl/swanctl.conf"
  while read -r name address cert id pools nets; do
    [ -n "$name" ] || continue
    cat >>"$dir/swanctl/swanctl.conf" <<EOF
  $name {
    version = 2
    local_addrs = $address
    pools = $pools
    proposals = aes256gcm16-prfsha256-modp2048
    local {
      auth = pubkey
      certs = $cert.pem
      id = $id
    }
    remote {
      auth = eap-mschapv2
      eap_id = %any
    }
    children {
      lan {
        local_ts = $nets
        esp_proposals = aes256gcm16-modp2048
      }
    }
  }
EOF
  done <<<"$RESPONDERS"
  # Each pool hands out its own addresses, so one client may hold leases of
  # several responders at once.
  cat >>"$dir/swanctl/swanctl.conf" <<EOF
}
pools {
  lab-pool { addrs = 10.232.100.0/24
    dns = $TUNNEL_DNS }
  lab-pool6 { addrs = $POOL6 }
  nodns-pool { addrs = 10.232.101.0/24 }
  baddns-pool { addrs = 10.232.102.0/24
    dns = $LAN_DNS }
}
secrets {
  eap-lab {
    id = $EAP_USER
    secret = "$password"
  }
}
EOF
}

# A DNS responder inside the server's namespace (--dns-tool).
start_dns() {
  local ns=$1 listen=$2 answer=$3 log=$4 labdir=$5 tool=$6
  : >"$log"
  ip netns exec "$ns" "$tool" --listen "$listen" --name "$DNS_NAME" --answer "$answer" --log "$log" \
    >>"$labdir/dns.out" 2>&1 </dev/null &
  echo $! >>"$labdir/pids"
}

# Starts charon for one side inside its namespace, with a private /run (both
# daemons write /run/charon.pid) and its own strongswan.conf.
start_charon() {
  local ns=$1 dir=$2 labdir=$3
  mkdir -p "$dir/run"
  STRONGSWAN_CONF="$dir/strongswan.conf" \
    ip netns exec "$ns" unshare -m sh -c \
      "mount --bind '$dir/run' /run && exec $CHARON" \
      >"$dir/charon.out" 2>&1 </dev/null &
  echo $! >>"$labdir/pids"
}

wait_for_socket() {
  local socket=$1 log=$2
  for _ in $(seq 1 100); do
    [ -S "$socket" ] && return 0
    sleep 0.05
  done
  cat "$log" >&2 || true
  die "charon did not open $socket"
}

lab_up() {
  local dir="" esp=userspace owner="" dns_tool=""
  while [ $# -gt 0 ]; do
    case "$1" in
      --dir) dir=$2; shift 2 ;;
      --esp) esp=$2; shift 2 ;;
      --owner) owner=$2; shift 2 ;;
      --dns-tool) dns_tool=$2; shift 2 ;;
      *) die "unknown option $1" ;;
    esac
  done
  case "$esp" in userspace|kernel) ;; *) die "--esp is userspace or kernel" ;; esac
  [ -z "$dns_tool" ] || [ -x "$dns_tool" ] || die "--dns-tool $dns_tool is not a program"
  need_root
  if [ -z "$dir" ]; then
    dir=$(mktemp -d /tmp/velorin-ikev2-lab.XXXXXX)
  else
    case "$dir" in */velorin-ikev2-lab.*) ;; *) die "--dir must be named velorin-ikev2-lab.*" ;; esac
    mkdir -p "$dir"
  fi
  chmod 700 "$dir"
  # A failure anywhere below leaves nothing behind.
  # The trap runs outside this function, where its locals are gone: the
  # folder is written into it now.
  trap "teardown '$dir'" EXIT
  local tag=${dir##*.}
  local srv="vlab-$tag-srv" cli="vlab-$tag-cli"
  : >"$dir/pids"
  : >"$dir/netns"

  ip netns add "$srv"; echo "$srv" >>"$dir/netns"
  ip netns add "$cli"; echo "$cli" >>"$dir/netns"
  ip -n "$srv" link set lo up
  ip -n "$cli" link set lo up
  ip -n "$srv" link add veth0 type veth peer name veth1 netns "$cli"
  local address
  for address in "$SERVER_ADDRESS" "$IMPOSTOR_ADDRESS" "$WRONG_NAME_ADDRESS" "$NO_DNS_ADDRESS" \
    "$BAD_DNS_ADDRESS" "$IPV4_ONLY_ADDRESS" "$LAN_DNS"; do
    ip -n "$srv" addr add "$address/24" dev veth0
  done
  ip -n "$cli" addr add "$CLIENT_ADDRESS/24" dev veth1
  # The local network has IPv6 too, so IPv6 traffic has a way around a tunnel.
  ip -n "$srv" addr add "$SERVER_ADDRESS6/64" dev veth0 nodad
  ip -n "$cli" addr add "$CLIENT_ADDRESS6/64" dev veth1 nodad
  ip -n "$srv" link set veth0 up
  ip -n "$cli" link set veth1 up
  # The addresses behind the tunnel live on the server's loopback.
  ip -n "$srv" addr add "$TUNNEL_TARGET/32" dev lo
  ip -n "$srv" addr add "$TUNNEL_DNS/32" dev lo
  ip -n "$srv" addr add "$TUNNEL_TARGET6/128" dev lo

  local password
  password=$(head -c 18 /dev/urandom | base64 | tr -d '/+=')
  make_pki "$dir/pki"
  mkdir -p "$dir/server" "$dir/client"
  write_strongswan_conf server "$dir/server" "$esp"
  write_strongswan_conf client "$dir/client" "$esp"
  write_server_swanctl "$dir/server" "$password" "$dir/pki"
  printf '%s' "$password" >"$dir/eap-password"
  chmod 600 "$dir/eap-password"
  echo "nameserver $LAN_DNS" >"$dir/client/resolv.conf"
  if [ -n "$dns_tool" ]; then
    start_dns "$srv" "$TUNNEL_DNS" "$DNS_TUNNEL_ANSWER" "$dir/dns-tunnel.log" "$dir" "$dns_tool"
    start_dns "$srv" "$LAN_DNS" "$DNS_LAN_ANSWER" "$dir/dns-lan.log" "$dir" "$dns_tool"
  fi

  start_charon "$srv" "$dir/server" "$dir"
  start_charon "$cli" "$dir/client" "$dir"
  wait_for_socket "$dir/server/charon.vici" "$dir/server/charon.out"
  wait_for_socket "$dir/client/charon.vici" "$dir/client/charon.out"
  # Tests run the client as other users too: the client daemon's socket and
  # the CA are theirs to use (the responder's socket stays root's).
  chmod 711 "$dir" "$dir/client" "$dir/server" "$dir/pki"
  chmod 666 "$dir/client/charon.vici"
  STRONGSWAN_CONF="$dir/server/strongswan.conf" SWANCTL_DIR="$dir/server/swanctl" \
    swanctl --load-all --noprompt --uri "unix://$dir/server/charon.vici" >"$dir/server/swanctl.out" 2>&1 ||
    { cat "$dir/server/swanctl.out" >&2; false; }
  trap - EXIT
  if [ -n "$owner" ]; then
    kill -0 "$owner" 2>/dev/null || die "no process $owner"
    ( trap - EXIT
      while kill -0 "$owner" 2>/dev/null && [ -d "$dir" ]; do sleep 0.5; done
      teardown "$dir" ) </dev/null >/dev/null 2>&1 &
    echo $! >"$dir/watch.pid"
  fi

  cat <<EOF
LAB_DIR=$dir
LAB_ESP=$esp
LAB_SERVER_NETNS=$srv
LAB_CLIENT_NETNS=$cli
LAB_SERVER_ADDRESS=$SERVER_ADDRESS
LAB_CLIENT_ADDRESS=$CLIENT_ADDRESS
LAB_IMPOSTOR_ADDRESS=$IMPOSTOR_ADDRESS
LAB_WRONG_NAME_ADDRESS=$WRONG_NAME_ADDRESS
LAB_NO_DNS_ADDRESS=$NO_DNS_ADDRESS
LAB_BAD_DNS_ADDRESS=$BAD_DNS_ADDRESS
LAB_IPV4_ONLY_ADDRESS=$IPV4_ONLY_ADDRESS
LAB_UNREACHABLE_ADDRESS=$UNREACHABLE_ADDRESS
LAB_TUNNEL_TARGET=$TUNNEL_TARGET
LAB_TUNNEL_TARGET6=$TUNNEL_TARGET6
LAB_CLIENT_RESOLV_CONF=$dir/client/resolv.conf
LAB_DNS_NAME=$DNS_NAME
LAB_DNS_TUNNEL_ANSWER=$DNS_TUNNEL_ANSWER
LAB_DNS_LAN_ANSWER=$DNS_LAN_ANSWER
LAB_DNS_TUNNEL_LOG=$dir/dns-tunnel.log
LAB_DNS_LAN_LOG=$dir/dns-lan.log
LAB_EAP_USER=$EAP_USER
LAB_EAP_PASSWORD=$password
LAB_CA_FILE=$dir/pki/ca.pem
LAB_SERVER_VICI_SOCKET=$dir/server/charon.vici
VELORIN_VICI_SOCKET=$dir/client/charon.vici
VELORIN_IKEV2_CA_FILE=$dir/pki/ca.pem
EOF
}

# Adds an EAP user to the running responder. The responder's secrets live in
# its swanctl.conf, which is reloaded whole (the server keys are beside it,
# so nothing else is unloaded).
add_eap_user() {
  local dir=$1 user=$2 password name
  case "$user" in ''|*[!A-Za-z0-9@._-]*) die "an EAP user is letters, digits and @._-" ;; esac
  [ -f "$dir/server/swanctl/swanctl.conf" ] || die "no lab in $dir"
  IFS= read -r password || [ -n "$password" ] || die "no password on standard input"
  name=eap-$(printf '%s' "$user" | tr -c 'A-Za-z0-9' '-')
  # Hex, so no character of the password needs quoting.
  cat >>"$dir/server/swanctl/swanctl.conf" <<EOF
secrets {
  $name {
    id = $user
    secret = 0x$(printf '%s' "$password" | od -An -tx1 | tr -d ' \n')
  }
}
EOF
  STRONGSWAN_CONF="$dir/server/strongswan.conf" SWANCTL_DIR="$dir/server/swanctl" \
    swanctl --load-creds --noprompt --uri "unix://$dir/server/charon.vici" >"$dir/server/swanctl.out" 2>&1 ||
    { cat "$dir/server/swanctl.out" >&2; die "the responder did not take the secret"; }
}

cmd=${1:-}
[ $# -gt 0 ] && shift
case "$cmd" in
  up) lab_up "$@" ;;
  down)
    [ $# -eq 1 ] || die "usage: $0 down DIR"
    case "$1" in */velorin-ikev2-lab.*) ;; *) die "not a lab folder: $1" ;; esac
    teardown "$1" ;;
  add-eap-user)
    [ $# -eq 2 ] || die "usage: $0 add-eap-user DIR USER < PASSWORD"
    case "$1" in */velorin-ikev2-lab.*) ;; *) die "not a lab folder: $1" ;; esac
    add_eap_user "$1" "$2" ;;
  run)
    args=()
    while [ $# -gt 0 ] && [ "$1" != -- ]; do args+=("$1"); shift; done
    [ "${1:-}" = -- ] || die "usage: $0 run [options] -- COMMAND [ARGS...]"
    shift
    facts=$(lab_up "${args[@]}")
    labdir=$(printf '%s\n' "$facts" | sed -n 's/^LAB_DIR=//p')
    trap 'teardown "$labdir"' EXIT INT TERM
    set -a; eval "$facts"; set +a
    "$@" ;;
  *)
    sed -n '2,/^set -euo/p' "$0" | sed '$d' | sed 's/^# \{0,1\}//' >&2
    exit 2 ;;
esac
