#!/bin/sh
# Installs the Debian packages that building and testing need, when any is missing.
# Usage: tools/install-deps.sh [fuzz]
set -eu

# wget, lftp and python3-requests: the real clients of the end-to-end proxy test. libssl-dev:
# the LAN key's HMAC-SHA-256 and random numbers (libcrypto). qt6-qpa-plugins: the X11 and Wayland
# platforms of the windows, and the offscreen one of their tests. xvfb, trayer, xdotool and
# imagemagick: the end-to-end test of the windows on a virtual display with a system tray, and
# its screenshots. scdoc: the man pages. lintian, dpkg-dev, fakeroot, file, desktop-file-utils
# and systemd (systemd-analyze): building the .deb and its test.
packages="cmake ninja-build g++ make libgtest-dev nlohmann-json3-dev libssl-dev qt6-base-dev qt6-qpa-plugins
iproute2 locales jq socat curl wget lftp python3 python3-pyftpdlib python3-requests dnsmasq-base bind9-dnsutils
xvfb xauth trayer xdotool imagemagick
scdoc lintian dpkg-dev fakeroot file desktop-file-utils systemd"
if [ "${1:-}" = "fuzz" ]; then
    packages="$packages clang libclang-rt-14-dev"
fi

missing=""
for p in $packages; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $p"
    fi
done
[ -z "$missing" ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
    echo "harbolt: missing Debian packages:$missing" >&2
    echo "harbolt: run as root, or install them with: sudo apt-get install$missing" >&2
    exit 1
fi
echo "harbolt: installing$missing"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends $missing
