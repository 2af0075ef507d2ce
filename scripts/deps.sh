#!/usr/bin/env bash
# Installs the Debian packages the build (and, with "test", the test peers) needs.
# Idempotent: asks apt only for what dpkg does not already report as installed.
set -euo pipefail

build_pkgs=(cmake ninja-build g++ pkg-config qt6-base-dev libgl-dev
            libssl-dev libsecret-1-dev libcurl4-openssl-dev libcli11-dev)
# What scripts/package needs beyond the build: dpkg-shlibdeps finds the package's dependencies.
package_pkgs=(dpkg-dev file)
test_pkgs=(libgtest-dev libgmock-dev libbenchmark-dev clang libclang-rt-14-dev
           xvfb xauth xclip xdotool trayer x11-utils imagemagick
           python3 python3-aiosmtpd python3-yenc postfix sharutils mpack coreutils procps time
           openssl dbus gnome-keyring libsecret-tools dovecot-imapd dovecot-pop3d
           sway wl-clipboard xwayland lintian appstream desktop-file-utils dunst)

want=("${build_pkgs[@]}")
case "${1:-}" in
test) want+=("${package_pkgs[@]}" "${test_pkgs[@]}") ;;
package) want+=("${package_pkgs[@]}") ;;
esac

missing=()
for p in "${want[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
    echo "Missing packages: ${missing[*]}" >&2
    echo "Run this command as root (or install them with apt-get) and try again." >&2
    exit 1
fi
export DEBIAN_FRONTEND=noninteractive
# Postfix is wanted only for smtp-sink; keep its installer from asking questions or
# configuring a mail system.
echo "postfix postfix/main_mailer_type select No configuration" | debconf-set-selections
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
