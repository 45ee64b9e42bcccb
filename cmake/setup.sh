#!/bin/bash
# Installs every tool the project needs on a fresh Debian 12 machine (idempotent, needs root).
source "$(dirname "$0")/script-errors.sh"

packages=(
    cmake ninja-build g++ make pkg-config
    g++-mingw-w64-i686 mingw-w64-i686-dev
    wine wine32:i386 libxrandr2:i386
    wine64 libxrandr2:amd64 g++-mingw-w64-x86-64 mingw-w64-x86-64-dev
    xvfb xdotool imagemagick fonts-liberation
    libssl-dev openssl libcpp-httplib-dev googletest
    nginx-light curl python3
    squid varnish softhsm2 opensc osslsigncode libengine-pkcs11-openssl strace
    clang libfuzzer-14-dev libclang-rt-14-dev libicu-dev
    scdoc man-db nlohmann-json3-dev dpkg-dev lintian bash-completion file
    chromium goaccess zlib1g-dev
    zsync xdelta3 iproute2
)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
    if [ "$(id -u)" != 0 ]; then echo "setup: need root to install: ${missing[*]}" >&2; exit 1; fi
    dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
    apt-get update -qq
    # Package scripts must not start system squid or varnish: every test starts its own instance.
    policy=/usr/sbin/policy-rc.d
    own_policy=0
    if [ ! -e "$policy" ]; then printf '#!/bin/sh\nexit 101\n' >"$policy"; chmod +x "$policy"; own_policy=1; fi
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
    if [ "$own_policy" = 1 ]; then rm -f "$policy"; fi
fi
echo "setup: all packages present"
