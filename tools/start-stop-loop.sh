#!/usr/bin/env bash
# Starts and closes the program N times on a real X display (Xvfb) with
# accessibility always on and an accessibility bus running, over a register
# holding one key, while tools/a11y-walk.py walks its accessibility tree as a
# screen reader would. Meant for the sanitizer build: any run that does not end
# with 0 (an ASan or UBSan report aborts it) is shown with its output, and the
# script then exits 1. Each run closes itself after saving its page pictures
# (VAREK_SCREENSHOT_DIR), as the smoke test does.
#   start-stop-loop.sh N     (the build in $VAREK_BUILD_DIR, default build-sanitize/)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${VAREK_BUILD_DIR:-$root/build-sanitize}"
bin="$build/bin"
if [ $# -lt 1 ] || ! [[ "$1" =~ ^[0-9]+$ ]]; then
    echo "usage: tools/start-stop-loop.sh N" >&2
    exit 2
fi
n="$1"

if [ -z "${VAREK_LOOP_INNER:-}" ]; then
    bash "$root/tools/install-deps.sh" --desktop
    for tool in varek varek-mkregister; do
        [ -x "$bin/$tool" ] || { echo "start-stop-loop: $bin/$tool is missing; build first" >&2; exit 1; }
    done
    # One session bus (which starts the accessibility bus on demand) and one
    # X server for all runs, as on a desktop.
    export VAREK_LOOP_INNER=1
    exec dbus-run-session -- xvfb-run -a -s "-screen 0 1280x1024x24 -nolisten tcp" bash "$0" "$@"
fi

/usr/libexec/at-spi-bus-launcher --launch-immediately &
launcher=$!
work="$(mktemp -d)"
trap 'kill "$launcher" 2>/dev/null || true; rm -rf "$work"' EXIT
"$bin/varek-mkregister" "$work/register" >/dev/null
/usr/bin/python3 - "$work/register" <<'PY'
import datetime, sys, dbf
t = dbf.Table(f"{sys.argv[1]}/tokens.dbf")
t.open(dbf.READ_WRITE)
t.append(("01B2F5107C3A0086", "178.62736", "Иванова Мария", datetime.date(2024, 3, 1), 0))
t.close()
PY

export QT_QPA_PLATFORM=xcb QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 QT_ACCESSIBILITY=1
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export LSAN_OPTIONS="${LSAN_OPTIONS:-suppressions=$root/tools/lsan.supp:print_suppressions=0}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}"
failed=0
for ((i = 1; i <= n; i++)); do
    home="$work/run$i"
    mkdir -p "$home"
    cp -r "$work/register" "$home/Data"
    status=0
    VAREK_HOME="$home" VAREK_SCREENSHOT_DIR="$home/shots" timeout 120 "$bin/varek" >"$home/log" 2>&1 &
    program=$!
    /usr/bin/python3 "$root/tools/a11y-walk.py" "$program" >"$home/walk" 2>&1 &
    walker=$!
    wait "$program" || status=$?
    wait "$walker" || { echo "run $i: the accessibility walk failed"; cat "$home/walk"; }
    [ -z "${VAREK_LOOP_VERBOSE:-}" ] || cat "$home/walk"
    shots=$(find "$home/shots" -name 'page*.png' 2>/dev/null | wc -l)
    if [ "$status" -ne 0 ] || [ "$shots" -ne 4 ]; then
        failed=$((failed + 1))
        echo "run $i: exit $status, $shots pictures"
        sed -n '1,200p' "$home/log"
    fi
    rm -rf "$home"
done
echo "start-stop: $((n - failed)) passed, $failed failed"
[ "$failed" -eq 0 ]
