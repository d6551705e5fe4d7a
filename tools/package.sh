#!/usr/bin/env bash
# Builds the Debian package varek_<version>_amd64.deb from the build the tests
# ran on (build/, or $VAREK_PACKAGE_BUILD_DIR; tools/build.sh configures it,
# hardened, and builds what the package holds), then checks it: lintian (any
# error fails), desktop-file-validate, appstreamcli validate, the version in
# the metainfo and changelog, and the packaged program's --version run from an
# unpacked copy.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${VAREK_PACKAGE_BUILD_DIR:-$root/build}"
bash "$root/tools/install-deps.sh"
VAREK_BUILD_DIR="$build" bash "$root/tools/build.sh" varek varek_dbf_tool varek_keys_tool varek_mkregister \
    varek_backup_tool varek_register_tool varek-zintor-sim varek-orvan-sim packaging_files
rm -f "$build"/varek_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
version="$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")"
deb="$build/varek_${version}_amd64.deb"
[ -f "$deb" ] || { echo "package: $deb was not made" >&2; exit 1; }

lintian --fail-on error --tag-display-limit 0 "$deb"
desktop-file-validate "$root/packaging/io.github.varek.Varek.desktop"
appstreamcli validate --no-net "$root/packaging/io.github.varek.Varek.metainfo.xml"
grep -q "<release version=\"$version\"" "$root/packaging/io.github.varek.Varek.metainfo.xml" ||
    { echo "package: the metainfo has no release $version" >&2; exit 1; }
head -1 "$root/packaging/changelog" | grep -q "^varek ($version)" ||
    { echo "package: the changelog does not start with $version" >&2; exit 1; }

unpacked="$(mktemp -d)"
trap 'rm -rf "$unpacked"' EXIT
dpkg-deb -x "$deb" "$unpacked"
printed="$(env -u VAREK_HOME QT_QPA_PLATFORM=offscreen LD_LIBRARY_PATH="$unpacked/usr/lib/x86_64-linux-gnu${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" \
    "$unpacked/usr/bin/varek" --version)"
[ "$printed" = "varek $version" ] || { echo "package: varek --version printed '$printed'" >&2; exit 1; }

# The programs open libpq and libarchive when first needed: the dependencies must name them.
dpkg-deb -f "$deb" Depends | grep -q libarchive13 && dpkg-deb -f "$deb" Depends | grep -q libpq5 ||
    { echo "package: the dependencies do not name libarchive13 and libpq5" >&2; exit 1; }

echo "package: $deb"
dpkg-deb -f "$deb" Depends
echo "package: lintian, desktop-file-validate and appstreamcli passed; the packaged program prints '$printed'"
