#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need.
# Idempotent: packages already present are skipped; nothing is removed.
set -euo pipefail

groups="${*:-build}"
pkgs=()
for g in $groups; do
  case "$g" in
    build)
      pkgs+=(cmake ninja-build g++ pkg-config
             qt6-base-dev qt6-base-dev-tools qt6-httpserver-dev libqt6sql6-sqlite
             qcoro-qt6-dev qtkeychain-qt6-dev qt6-svg-dev libgl-dev lld
             libglib2.0-dev gsettings-desktop-schemas qt6-l10n-tools) ;;
    test)
      pkgs+=(xvfb xauth trayer xdotool fonts-noto-color-emoji gnome-keyring dbus dbus-x11 qt6-wayland
             iproute2 iputils-ping procps curl openssl
             libglib2.0-bin dconf-gsettings-backend libkf5config-bin libproxy1-plugin-gsettings) ;;
    lab)
      pkgs+=(strongswan-charon strongswan-swanctl strongswan-pki
             libstrongswan-standard-plugins libcharon-extra-plugins
             libcharon-extauth-plugins iputils-ping iproute2 util-linux) ;;
    package)
      # CPack's DEB generator needs dpkg-shlibdeps (dpkg-dev) and file; the
      # man pages come from the programs' --help (help2man), the PNG icons
      # from the SVG (rsvg-convert); the rest are the validators.
      pkgs+=(dpkg-dev file help2man librsvg2-bin lintian
             desktop-file-utils appstream) ;;
    bench)
      pkgs+=(heaptrack binutils) ;;
    fuzz)
      # libFuzzer and the sanitizer runtimes come with clang's runtime package;
      # llvm-symbolizer (llvm) turns sanitizer reports into source lines.
      pkgs+=(clang libclang-rt-14-dev llvm) ;;
    *) echo "unknown package group: $g" >&2; exit 2 ;;
  esac
done

missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
