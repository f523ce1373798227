#!/usr/bin/env bash
# The packages as a user gets them (as root on Debian 12): builds them, checks them with lintian
# (no error allowed; warnings are printed), installs them with apt-get, runs the installed
# corvena-index on a small demo library, loads the installed plug-in, asks the installed wizard
# its version with no display, then purges them. Also checks that a packager's plain configure
# needs neither GoogleTest nor Qt Test.
set -euo pipefail
cd "$(dirname "$0")/.."
export DEBIAN_FRONTEND=noninteractive
packages=(corvena corvena-index varnel)
work=$(mktemp -d)
installed=0
cleanup() {
    if [ $installed = 1 ]; then apt-get purge -y -q "${packages[@]}" >/dev/null || true; fi
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

echo "== a packager's configure: -DBUILD_TESTING=OFF, GoogleTest and Qt Test not found"
cmake -S . -B "$work/plain" -G Ninja -DBUILD_TESTING=OFF -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON \
    -DCMAKE_DISABLE_FIND_PACKAGE_Qt6Test=ON >"$work/plain.log" 2>&1 || { cat "$work/plain.log"; fail "configure"; }
grep -qx 'CORVENA_CROSS_BUILDS:BOOL=OFF' "$work/plain/CMakeCache.txt" || fail "cross builds on by default"
if cmake --build "$work/plain" --target help | grep -E '^(test_|bench_|fuzz_)'; then
    fail "test, benchmark or fuzz targets in a build without tests"
fi

echo "== packages"
bash scripts/package.sh
mapfile -t debs < <(ls "$PWD"/build/release/packages/*.deb)
[ ${#debs[@]} -eq ${#packages[@]} ] || fail "expected ${#packages[@]} packages, got: ${debs[*]}"

echo "== lintian"
lintian --fail-on error "${debs[@]}" || fail "lintian reports errors"

for deb in "${debs[@]}"; do
    name=$(dpkg-deb -f "$deb" Package)
    contents=$(dpkg-deb -c "$deb")
    for doc in copyright changelog.gz; do
        grep -q " ./usr/share/doc/$name/$doc\$" <<<"$contents" || fail "$name has no usr/share/doc/$name/$doc"
    done
    # Debian's compression: no name and no time stamp in the gzip header.
    dpkg-deb --fsys-tarfile "$deb" | tar -x -C "$work" --wildcards './usr/share/doc/*/changelog.gz' './usr/share/man/*' 2>/dev/null || true
done
for gz in "$work"/usr/share/doc/*/changelog.gz "$work"/usr/share/man/man1/*.gz; do
    gzip -t "$gz" || fail "$gz is no gzip file"
    [ "$(od -An -tx1 -j3 -N5 "$gz" | tr -d ' ')" = 0000000000 ] || fail "$gz keeps a name or time stamp"
done
if dpkg-deb -f "$(ls "$PWD"/build/release/packages/corvena-index_*.deb)" Depends | grep -Eo 'libqt6(gui|widgets)[^,]*|libx[^,]*'; then
    fail "corvena-index depends on a GUI library"
fi

echo "== apt-get install ${debs[*]##*/}"
installed=1
apt-get install -y -q "${debs[@]}" >"$work/apt.log" 2>&1 || { cat "$work/apt.log"; fail "apt-get install"; }

arch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
for file in /usr/bin/corvena-index /usr/bin/corvena "/usr/lib/$arch/varnel/libVarnel.so" \
            /usr/libexec/corvena/corvena-access-reader \
            /usr/share/applications/corvena.desktop /usr/share/icons/hicolor/scalable/apps/corvena.svg \
            /usr/share/icons/hicolor/48x48/apps/corvena.png; do
    [ -f "$file" ] || fail "$file not installed"
done
man -w corvena corvena-index >/dev/null || fail "man pages not found by man"
desktop-file-validate /usr/share/applications/corvena.desktop || fail "desktop entry"

echo "== the installed corvena-index on a demo library of 300 songs"
build/release/tools/ktvdemo --out "$work/demo" --count 300 --seed 1 >/dev/null
status=0
/usr/bin/corvena-index --songs "$work/demo/Songs" --master "$work/demo/DataBase/Total.mdb" \
    --local "$work/demo/DataBase/Ktv.mdb" --summary-json "$work/summary.json" --quiet || status=$?
[ $status -eq 0 ] || fail "corvena-index ended with status $status"
python3 - "$work/summary.json" "$work/demo/DataBase/Ktv.mdb" <<'PY' || fail "the run wrote no songs"
import json, sqlite3, sys
summary = json.load(open(sys.argv[1]))
rows = sqlite3.connect(sys.argv[2]).execute("select count(*) from Songs").fetchone()[0]
print(f"   inserted {summary['inserted']}, failed {summary['failed']}, Songs rows {rows}")
sys.exit(0 if summary["inserted"] > 0 and summary["inserted"] == rows and summary["failed"] == 0 else 1)
PY

echo "== the installed corvena-index reading an Access master through its reader"
# The test file has tables but no Songs: the reader ran when the run gets as far as asking for it.
status=0
out=$(/usr/bin/corvena-index --songs "$work/demo/Songs" --master "$PWD/tests/data/access/DateTestDatabase.mdb" \
          --local "$work/demo/DataBase/Ktv.mdb" --quiet 2>&1) || status=$?
echo "$out" | grep -q "no such table: Songs" || fail "the Access master was not read (status $status): $out"
echo "   read; the run stops at the missing Songs table as it should (status $status)"

echo "== the installed plug-in, loaded as a host loads it"
python3 - "/usr/lib/$arch/varnel/libVarnel.so" <<'PY' || fail "libVarnel.so does not load or lacks _2DB"
import ctypes, sys
library = ctypes.CDLL(sys.argv[1])
print("   _2DB at", hex(ctypes.cast(library._2DB, ctypes.c_void_p).value))
PY

echo "== the installed wizard, no display"
version=$(env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=xcb /usr/bin/corvena --version)
echo "   $version"
[ "$version" = "corvena $(dpkg-query -W -f '${Version}' corvena)" ] || fail "corvena --version: $version"

echo "== apt-get purge ${packages[*]}"
apt-get purge -y -q "${packages[@]}" >"$work/apt.log" 2>&1 || { cat "$work/apt.log"; fail "apt-get purge"; }
installed=0
for file in /usr/bin/corvena-index /usr/bin/corvena "/usr/lib/$arch/varnel"; do
    [ ! -e "$file" ] || fail "$file left after purge"
done
echo "packages built, installed, run and removed"
