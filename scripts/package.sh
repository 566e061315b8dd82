#!/usr/bin/env bash
# Builds the Debian package into build/package/ and checks it: the desktop
# entry (desktop-file-validate), the AppStream data (appstreamcli) and the
# whole package (lintian) must pass without errors, and Depends must name
# the Qt libraries the programs link (dpkg-shlibdeps ran).
#
#   scripts/package.sh
#   VELORIN_IKEV2_CA_CERTIFICATE=ca.pem scripts/package.sh   # ship this CA
#
# Without a CA certificate the package ships a placeholder in its place
# (/etc/velorin-vpn/velorin-vpn-ca.pem) that the operator replaces.
# Install the result with: apt install ./build/package/velorin-vpn_*.deb
#
#   scripts/package.sh --check-install    # root; what CI runs
# then installs the package into a clean state (its dependencies with apt,
# the package itself with dpkg -i, twice), runs both programs from the
# installed files as an unprivileged user, removes the package while the
# application runs and purges it, checking what must stay and what must go.
set -euo pipefail
ca_certificate=${VELORIN_IKEV2_CA_CERTIFICATE:+$(realpath "$VELORIN_IKEV2_CA_CERTIFICATE")}
cd "$(dirname "$0")/.."
check_install=0
[ "${1:-}" = --check-install ] && check_install=1

scripts/install-deps.sh build package

out=build/package
# The distribution's hardening flags (stack protector, fortified functions,
# read-only relocations, immediate binding), without the debug information
# that the package strips anyway.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cxxflags=$(dpkg-buildflags --get CXXFLAGS | sed 's/\(^\| \)-g\( \|$\)/ /; s/\(^\| \)-O2\( \|$\)/ /')
cxxflags="$(dpkg-buildflags --get CPPFLAGS) $cxxflags"
ldflags=$(dpkg-buildflags --get LDFLAGS)
# The manual pages carry the date of the changelog's top entry, not today's.
SOURCE_DATE_EPOCH=$(dpkg-parsechangelog -l dist/changelog -S Timestamp)
export SOURCE_DATE_EPOCH

cmake -S . -B "$out" -G Ninja \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER=g++ \
  -DCMAKE_INSTALL_PREFIX=/usr \
  -DCMAKE_CXX_FLAGS="$cxxflags" -DCMAKE_EXE_LINKER_FLAGS="$ldflags" \
  -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON \
  -DVELORIN_BUILD_TESTS=OFF -DVELORIN_WERROR=ON -DVELORIN_PACKAGE=ON \
  -DVELORIN_IKEV2_CA_CERTIFICATE="$ca_certificate" >/dev/null
# Only what the package holds: not the development backend.
cmake --build "$out" --target velorin velorin-vpn velorin_package_files
rm -f "$out"/velorin-vpn_*.deb
(cd "$out" && cpack >cpack.log) || { cat "$out/cpack.log" >&2; exit 1; }
deb=$(ls "$out"/velorin-vpn_*.deb)

echo "Checking $deb"
status=0
check() {
  local what=$1
  shift
  if "$@" >"$out/check.log" 2>&1; then
    echo "  $what: passed"
  else
    echo "  $what: FAILED"
    sed 's/^/    /' "$out/check.log"
    status=1
  fi
}
check desktop-file-validate desktop-file-validate dist/velorin-vpn.desktop
check "appstreamcli validate" appstreamcli validate --no-net dist/com.velorin.vpn.metainfo.xml
check lintian lintian --fail-on error,warning "$deb"
depends=$(dpkg-deb -f "$deb" Depends)
if grep -q 'libqt6core6' <<<"$depends"; then
  echo "  Depends (shared libraries found): passed"
else
  echo "  Depends names no Qt library (was dpkg-shlibdeps found?): FAILED"
  status=1
fi
echo "Depends: $depends"
[ "$status" -eq 0 ] || exit 1
echo
echo "Install it with: apt install ./$deb"

[ "$check_install" -eq 1 ] || exit 0

echo
echo "Installing $deb into a clean state"
fail() { echo "package check: $*" >&2; exit 1; }
[ "$(id -u)" -eq 0 ] || fail "needs root"
ca=/etc/velorin-vpn/velorin-vpn-ca.pem
dpkg -s velorin-vpn >/dev/null 2>&1 && dpkg -P velorin-vpn >/dev/null
export DEBIAN_FRONTEND=noninteractive
satisfy() {
  apt-get satisfy -y -qq --no-install-recommends \
    "$(dpkg-deb -f "$deb" Pre-Depends), $(dpkg-deb -f "$deb" Depends)" >"$out/apt.log" 2>&1
}
# A stale package list is refreshed once.
satisfy || { apt-get update -qq && satisfy; } ||
  { cat "$out/apt.log" >&2; fail "the dependencies did not install"; }
dpkg -i "$deb" >"$out/dpkg.log" 2>&1 || { cat "$out/dpkg.log" >&2; fail "dpkg -i failed"; }
sed 's/^/  /' "$out/dpkg.log" | grep 'velorin-vpn:' || true
getent group velorin >/dev/null || fail "no velorin group after the installation"
if dpkg -L velorin-vpn | grep -E 'devserver|fake-|/tests?/'; then fail "development or test programs in the package"; fi

# The operator's CA replaces the shipped file; installing again keeps it.
printf '%s\n' '-----BEGIN CERTIFICATE-----' 'operator' '-----END CERTIFICATE-----' >"$ca"
dpkg -i "$deb" >"$out/dpkg.log" 2>&1 || { cat "$out/dpkg.log" >&2; fail "installing a second time failed"; }
grep -q operator "$ca" || fail "installing again replaced the operator's CA certificate"
echo "  installed twice: the operator's CA certificate was kept"

# Both programs from the installed files, as a user without privileges.
user_dir=$(mktemp -d /tmp/velorin-package-check.XXXXXX)
trap 'rm -rf "$user_dir"' EXIT
mkdir -m 0700 "$user_dir/run" "$user_dir/config"
echo '{"kept": true}' >"$user_dir/config/user-file.json"
chown -R 65534:65534 "$user_dir"
# A simple command, so that the background job's pid is the program's own.
as_user=(setpriv --reuid=65534 --regid=65534 --clear-groups
         env -i PATH=/usr/bin:/bin HOME="$user_dir" XDG_RUNTIME_DIR="$user_dir/run" QT_QPA_PLATFORM=offscreen)
version=$("${as_user[@]}" velorin --version) || fail "velorin --version failed"
echo "  velorin --version: $version"
"${as_user[@]}" velorin-vpn --config-dir "$user_dir/config" >"$user_dir/app.log" 2>&1 &
app=$!
sleep 3
kill -0 "$app" 2>/dev/null || { cat "$user_dir/app.log" >&2; fail "velorin-vpn did not keep running offscreen"; }
echo "  velorin-vpn started offscreen (pid $app)"

# Removed while it runs: the application goes on and ends normally; the
# user's files and the operator's configuration stay; purging removes the
# configuration but not the group (users may still be in it).
dpkg -r velorin-vpn >"$out/dpkg.log" 2>&1 || { cat "$out/dpkg.log" >&2; fail "dpkg -r failed"; }
[ ! -e /usr/bin/velorin-vpn ] || fail "dpkg -r left /usr/bin/velorin-vpn"
kill -0 "$app" 2>/dev/null || { cat "$user_dir/app.log" >&2; fail "velorin-vpn ended when the package was removed"; }
kill -TERM "$app"
app_status=0
wait "$app" || app_status=$?
[ "$app_status" -eq 0 ] || { cat "$user_dir/app.log" >&2; fail "velorin-vpn ended with status $app_status after SIGTERM"; }
echo "  removed while running: velorin-vpn went on and ended with status 0 on SIGTERM"
[ -f "$user_dir/config/user-file.json" ] || fail "the user's settings folder lost a file"
grep -q operator "$ca" || fail "dpkg -r removed the operator's CA certificate"
dpkg -P velorin-vpn >"$out/dpkg.log" 2>&1 || { cat "$out/dpkg.log" >&2; fail "dpkg -P failed"; }
[ ! -e "$ca" ] && [ ! -e /etc/strongswan.d/velorin-vpn.conf ] || fail "dpkg -P left the configuration files"
getent group velorin >/dev/null || fail "purging removed the velorin group"
echo "  purged: configuration gone, the velorin group and the user's files kept"
echo "Package check passed."
