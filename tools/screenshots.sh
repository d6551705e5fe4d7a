#!/usr/bin/env bash
# Runs the built program under Xvfb over a small sample register with
# Cyrillic rows and saves a picture of each page (page1_keys.png,
# page2_controllers.png, page3_details.png, page4_settings.png).
# Builds nothing: run tools/build.sh first.
#
#   tools/screenshots.sh [OUTDIR]      (default: build/screenshots)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${VAREK_BUILD_DIR:-$root/build}"
out="$(mkdir -p "${1:-$build/screenshots}" && cd "${1:-$build/screenshots}" && pwd)"
bin="$build/bin"
for tool in varek varek-mkregister; do
    [ -x "$bin/$tool" ] || { echo "screenshots: $bin/$tool is missing; build first" >&2; exit 1; }
done

home="$(mktemp -d)"
trap 'rm -rf "$home"' EXIT
"$bin/varek-mkregister" "$home/Data" >/dev/null

/usr/bin/python3 - "$home/Data" <<'PY'
import datetime, sys, dbf
data = sys.argv[1]
def fill(name, rows):
    t = dbf.Table(f"{data}/{name}")
    t.open(dbf.READ_WRITE)
    for r in rows:
        t.append(r)
    t.close()
fill("obj.dbf", [
    (1, "Главный корпус", "ул. Ленина, 1", "Вход со двора"),
    (2, "Склад №2", "пр. Мира, 15", "Круглосуточно"),
    (3, 'Офис "Север"', "ул. Садовая, 7, 3 этаж", ""),
])
fill("ctrl.dbf", [
    (1, "Главный вход", 1, "v2.1", "", 5),
    (1, "Серверная", 2, "v2.1", "Только ИТ-отдел", 3),
    (2, "Ворота", 3, "v1.0", "", 10),
    (3, "Приёмная", 4, "v2.0", "", 4),
])
keys = [
    ("01A1B2C3D4E5F601", "161.45763", "Иванов Иван Иванович", datetime.date(2024, 3, 5), 1),
    ("01112233445566AB", "017.08755", "Петрова Анна Сергеевна", datetime.date(2023, 12, 31), 0),
    ("01DEADBEEF0000C2", "222.48879", "Сидоров Пётр", datetime.date(2025, 1, 9), 1),
    ("0100000000000103", "000.00000", "Ёлкин Фёдор Ильич", datetime.date(2025, 6, 1), 1),
]
fill("tokens.dbf", keys)
fill("tc.dbf", [(keys[0][0], 1), (keys[0][0], 2), (keys[1][0], 1), (keys[1][0], 2), (keys[1][0], 3),
                (keys[2][0], 3), (keys[3][0], 4)])
PY

# A port of our own, so the Settings page shows a chosen port and its device.
mkdir -p "$home/ports"
ln -s /dev/null "$home/ports/COM3"
printf '[1]\ncom_zintor=3\ncom_token=0\n' >"$home/settings.ini"

VAREK_HOME="$home" VAREK_SCREENSHOT_DIR="$out" \
    xvfb-run -a -s "-screen 0 1280x1024x24" "$bin/varek"
ls -1 "$out"/page*.png
