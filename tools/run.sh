#!/usr/bin/env bash
# Installs what is missing, builds, lays an empty register in build/bin/Data
# the first time, and starts the program.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${VAREK_BUILD_DIR:-$root/build}"
bash "$root/tools/install-deps.sh"
bash "$root/tools/build.sh"
if [ ! -d "$build/bin/Data" ]; then
    "$build/bin/varek-mkregister" "$build/bin/Data"
fi
exec "$build/bin/varek"
