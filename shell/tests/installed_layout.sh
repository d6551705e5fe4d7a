#!/usr/bin/env bash
# A copy of the program in a directory of its own, as an install puts it:
# the command line, then where it keeps its files in the installed layout
# (XDG directories) and beside the executable.
#   installed_layout.sh VAREK VAREK_MKREGISTER VERSION
set -euo pipefail
root="$(mktemp -d)"
trap 'rm -rf "$root"' EXIT
fail() { echo "installed_layout: $*" >&2; exit 1; }

mkdir -p "$root/bin" "$root/portable"
cp "$1" "$root/bin/varek"
cp "$1" "$root/portable/varek"
export XDG_DATA_HOME="$root/xdata" XDG_CONFIG_HOME="$root/xconf" HOME="$root/home" QT_QPA_PLATFORM=offscreen
unset VAREK_HOME

# The command line: --version and --help print and end with 0, anything else is refused with 2.
[ "$(timeout 20 "$root/bin/varek" --version)" = "varek $3" ] || fail "--version printed the wrong version"
timeout 20 "$root/bin/varek" --help | grep -q 'Использование: varek' || fail "--help"
set +e
out="$(timeout 20 "$root/bin/varek" --verbose 2>"$root/err")"
rc=$?
set -e
[ "$rc" -eq 2 ] || fail "a wrong argument ended with $rc, not 2"
[ -z "$out" ] || fail "a wrong argument printed on stdout"
grep -q 'Использование' "$root/err" || fail "no usage message on stderr"
[ ! -e "$root/xdata" ] && [ ! -e "$root/xconf" ] || fail "the command line touched the XDG directories"

# Installed: the register in $XDG_DATA_HOME/varek, the settings in $XDG_CONFIG_HOME/varek.
"$2" "$XDG_DATA_HOME/varek/Data" >/dev/null
VAREK_SCREENSHOT_DIR="$root/shots" timeout 60 "$root/bin/varek"
grep -q '^com_zintor=0' "$XDG_CONFIG_HOME/varek/settings.ini" || fail "settings.ini not in the XDG config place"
[ "$(ls "$root/bin")" = "varek" ] || fail "the installed program wrote beside itself"

# Beside the executable: its Data/ keeps everything there.
"$2" "$root/portable/Data" >/dev/null
rm "$XDG_CONFIG_HOME/varek/settings.ini"
VAREK_SCREENSHOT_DIR="$root/shots2" timeout 60 "$root/portable/varek"
grep -q '^com_zintor=0' "$root/portable/settings.ini" || fail "settings.ini not beside the portable program"
[ ! -e "$XDG_CONFIG_HOME/varek/settings.ini" ] || fail "the portable program wrote to the XDG config place"
echo "installed_layout: command line, XDG layout and portable layout as expected"
