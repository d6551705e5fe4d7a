#!/usr/bin/env bash
# Builds the whole project and its tests with AddressSanitizer and
# UndefinedBehaviorSanitizer (gcc, -O1 -g) in build-sanitize/ (or
# $VAREK_SANITIZE_BUILD_DIR) and runs the whole test suite under them.
# Leaks are reported; tools/lsan.supp silences leaks inside Qt and the system
# libraries only.  sanitize.sh [CTEST ARGS...]
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${VAREK_SANITIZE_BUILD_DIR:-$root/build-sanitize}"
bash "$root/tools/install-deps.sh"
launcher=()
# Paths relative to the tree, so another clone hits the same cache.
export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$root}"
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=None -DCMAKE_CXX_FLAGS="-O1 -g" \
    -DVAREK_SANITIZE=ON "${launcher[@]}" >/dev/null
cmake --build "$build" -j "$(nproc)"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1"
export LSAN_OPTIONS="suppressions=$root/tools/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
export QT_QPA_PLATFORM=offscreen
cd "$build"
ctest --output-on-failure -j "$(nproc)" --timeout 1800 "$@"
