#!/usr/bin/env bash
# Installs with apt whatever the build, the tests and the tools need and the
# machine lacks. Debian 12; runs as root (or through sudo when it is there).
#   install-deps.sh [--fuzz] [--desktop]
#     --fuzz     also clang and its runtimes, for the libFuzzer harnesses (tools/fuzz.sh)
#     --desktop  also a session bus, the accessibility bus and D-Bus for Python
#                (tools/start-stop-loop.sh)
set -euo pipefail
packages=(
    cmake g++ make pkg-config
    qt6-base-dev qt6-base-dev-tools libqt6sql6-sqlite libgl-dev libqt6svg6
    libsqlite3-dev libgtest-dev googletest libarchive-dev
    xvfb xauth fonts-dejavu-core
    python3 python3-dbf python3-dbfread
    qt6-translations-l10n
    postgresql-15 libpq-dev
    dpkg-dev fakeroot file lintian desktop-file-utils appstream
)
for arg in "$@"; do
    case "$arg" in
    --fuzz) packages+=(clang-14 libclang-rt-14-dev) ;;
    --desktop) packages+=(dbus-daemon at-spi2-core python3-dbus) ;;
    *)
        echo "install-deps: unknown option $arg" >&2
        exit 2
        ;;
    esac
done
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
    echo "Installing: ${missing[*]}"
    SUDO=""
    [ "$(id -u)" -eq 0 ] || SUDO="sudo"
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
