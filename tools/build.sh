#!/usr/bin/env bash
# Configures and builds the project into build/ (or $VAREK_BUILD_DIR): every
# target, or the ones named. One configuration serves the tests and the Debian
# package (tools/package.sh), so the package's programs are the ones tested:
# -O2 with debug information (stripped in the package) and Debian's hardening,
# fortified functions, stack protector, read-only relocations bound at start.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${VAREK_BUILD_DIR:-$root/build}"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    "-DCMAKE_CXX_FLAGS=-D_FORTIFY_SOURCE=2 -fstack-protector-strong -Wformat -Werror=format-security" \
    "-DCMAKE_EXE_LINKER_FLAGS=-Wl,-z,relro -Wl,-z,now" >/dev/null
if [ "$#" -gt 0 ]; then
    cmake --build "$build" -j "$(nproc)" --target "$@"
else
    cmake --build "$build" -j "$(nproc)"
fi
