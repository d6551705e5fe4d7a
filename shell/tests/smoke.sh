#!/usr/bin/env bash
# Starts the program itself over an empty register, lets it save a picture of
# each page and quit: it must end with 0 and leave four pictures and the
# settings file behind.  smoke.sh VAREK VAREK_MKREGISTER
set -euo pipefail
home="$(mktemp -d)"
trap 'rm -rf "$home"' EXIT
"$2" "$home/Data" >/dev/null
QT_QPA_PLATFORM=offscreen VAREK_HOME="$home" VAREK_SCREENSHOT_DIR="$home/shots" timeout 60 "$1"
n=$(ls "$home/shots"/page*.png | wc -l)
[ "$n" -eq 4 ] || { echo "expected 4 pictures, got $n" >&2; exit 1; }
grep -q '^com_zintor=0' "$home/settings.ini" || { echo "settings.ini not written" >&2; exit 1; }
echo "smoke: started, saved $n pages, closed, wrote settings.ini"
