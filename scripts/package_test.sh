#!/usr/bin/env bash
# The packages as a user gets them (as root on Debian 12): builds them as Debian would (the
# hardening flags of dpkg-buildflags), checks them with lintian (no error allowed, and none of
# the hardening tags; the output is printed), installs them with apt-get, validates the
# AppStream description and the service unit (systemd-analyze verify and security), runs the
# installed corvena-index on a small demo library, loads the installed plug-in, asks the
# installed wizard its version with no display, then runs the installed wizard as a new
# ordinary user on a virtual display, driven by the keyboard through a whole run, and
# corvena-index for that user without --local; then purges them. Also checks that a packager's
# plain configure needs neither GoogleTest nor Qt Test.
#
# CORVENA_SCREENSHOT_DIR=DIR also saves the new user's steps 2 and 5 as
# DIR/installed-step2.png and DIR/installed-step5.png.
set -euo pipefail
cd "$(dirname "$0")/.."
export DEBIAN_FRONTEND=noninteractive
packages=(corvena corvena-index varnel)
work=$(mktemp -d)
installed=0
user=
xvfb=
wizard=
cleanup() {
    [ -n "$wizard" ] && kill "$wizard" 2>/dev/null
    [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null
    if [ $installed = 1 ]; then apt-get purge -y -q "${packages[@]}" >/dev/null || true; fi
    if [ -n "$user" ]; then userdel "$user" 2>/dev/null; rm -rf "/home/$user"; fi
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
mapfile -t debs < <(ls "$PWD"/build/package/packages/*.deb)
[ ${#debs[@]} -eq ${#packages[@]} ] || fail "expected ${#packages[@]} packages, got: ${debs[*]}"

echo "== lintian"
status=0
lintian --fail-on error --display-info "${debs[@]}" >"$work/lintian.txt" 2>&1 || status=$?
grep -v 'running with root privileges' "$work/lintian.txt" >"$work/tags.txt" || true
mv "$work/tags.txt" "$work/lintian.txt"
sed 's/^/   /' "$work/lintian.txt"
[ $status = 0 ] || fail "lintian reports errors"
if grep -E 'hardening-no-(bindnow|fortify-functions|relro|pie)' "$work/lintian.txt"; then
    fail "built without Debian's hardening flags"
fi
[ -s "$work/lintian.txt" ] || echo "   (no tags)"

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
index_deb=$(ls "$PWD"/build/package/packages/corvena-index_*.deb)
if dpkg-deb -f "$index_deb" Depends | grep -Eo 'libqt6(gui|widgets)[^,]*|libx[^,]*'; then
    fail "corvena-index depends on a GUI library"
fi
[ "$(dpkg-deb --ctrl-tarfile "$index_deb" | tar -xO ./conffiles)" = "$(printf '/etc/corvena/Configure.ini\n/etc/corvena/index.conf')" ] \
    || fail "the files in /etc/corvena are not conffiles"

echo "== apt-get install ${debs[*]##*/}"
installed=1
apt-get install -y -q "${debs[@]}" >"$work/apt.log" 2>&1 || { cat "$work/apt.log"; fail "apt-get install"; }

arch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
for file in /usr/bin/corvena-index /usr/bin/corvena /usr/bin/ktvschema "/usr/lib/$arch/varnel/libVarnel.so" \
            /usr/libexec/corvena/corvena-access-reader /usr/lib/systemd/system/corvena-index@.service \
            /etc/corvena/index.conf /etc/corvena/Configure.ini \
            /usr/share/applications/corvena.desktop /usr/share/metainfo/corvena.metainfo.xml \
            /usr/share/icons/hicolor/scalable/apps/corvena.svg /usr/share/icons/hicolor/48x48/apps/corvena.png; do
    [ -f "$file" ] || fail "$file not installed"
done
man -w corvena corvena-index ktvschema >/dev/null || fail "man pages not found by man"
desktop-file-validate /usr/share/applications/corvena.desktop || fail "desktop entry"
echo "== appstreamcli validate"
appstreamcli validate --no-net /usr/share/metainfo/corvena.metainfo.xml || fail "AppStream description"
grep -q '<screenshot' /usr/share/metainfo/corvena.metainfo.xml || fail "no screenshot in the AppStream description"

echo "== the service unit"
if systemd-analyze --version >/dev/null 2>&1; then
    # A template is checked as an instance; offline, as this machine may run without systemd.
    unit="$work/corvena-index@srv-ktv-Songs.service"
    cp /usr/lib/systemd/system/corvena-index@.service "$unit"
    verify=$(systemd-analyze verify "$unit" 2>&1) || fail "systemd-analyze verify: $verify"
    [ -z "$verify" ] || fail "systemd-analyze verify warns: $verify"
    echo "   systemd-analyze verify: clean"
    security=$(systemd-analyze security --offline=yes --threshold=40 "$unit" 2>&1) \
        || { echo "$security"; fail "exposure above 4.0"; }
    echo "   $(grep -o 'Overall exposure level.*' <<<"$security")"
else
    echo "   SKIPPED: systemd-analyze cannot run here"
fi

echo "== the installed corvena-index on a demo library of 300 songs"
build/package/tools/ktvdemo --out "$work/demo" --count 300 --seed 1 >/dev/null
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

echo "== the installed wizard for a new user, on a virtual display, from the keyboard"
# The user's home is empty; the library is readable by everyone.
user=ktvtest$$
home=/home/$user
useradd --no-create-home --home-dir "$home" --shell /bin/sh "$user"
mkdir -p "$home"
chown "$user:" "$home"
chmod 755 "$work"
chmod -R a+rX "$work/demo"
ktvdemo_songs="$work/demo/Songs"
master="$work/demo/DataBase/Total.mdb"
for display in $(seq 90 120); do [ -e "/tmp/.X11-unix/X$display" ] || break; done
Xvfb ":$display" -screen 0 1024x768x24 -nolisten tcp -ac >"$work/xvfb.log" 2>&1 &
xvfb=$!
export DISPLAY=":$display"
for _ in $(seq 1 100); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done
xdpyinfo >/dev/null 2>&1 || fail "Xvfb did not start"
as_user() { runuser -u "$user" -- env -i HOME="$home" USER="$user" LOGNAME="$user" PATH=/usr/bin:/bin \
    LANG=C.UTF-8 DISPLAY="$DISPLAY" QT_QPA_PLATFORM=xcb "$@"; }

# Polls for what the wizard shows, at most 60 s: never a fixed wait. An error box ends the test.
no_error_box() {
    if xdotool search --onlyvisible --name '错误' >/dev/null 2>&1; then
        import -window root "$work/error.png" 2>/dev/null || true
        fail "an error box: $(xdotool search --onlyvisible --name '错误' getwindowname %@ 2>/dev/null)"
    fi
}
# The header band of the window (the step's title), as a hash: it changes when the step does.
header() { import -window "$main" -crop 559x49+0+0 +repage rgb:- 2>/dev/null | md5sum | cut -c1-32; }
colours() { import -window "$main" -crop 559x49+0+0 +repage png:- 2>/dev/null | identify -format %k -; }
wait_for() { # DESCRIPTION COMMAND...: until COMMAND succeeds
    local what=$1
    shift
    for _ in $(seq 1 600); do
        no_error_box
        "$@" && return 0
        kill -0 "$wizard" 2>/dev/null || fail "the wizard ended while waiting for $what"
        sleep 0.1
    done
    fail "no $what within 60 s"
}
header_is_not() { [ "$(header)" != "$1" ]; }
header_drawn() { [ "$(colours)" -gt 2 ]; }
window_shown() { main=$(xdotool search --onlyvisible --name '向导 离线索引歌曲' 2>/dev/null | head -n 1) && [ -n "$main" ]; }
file_there() { [ -e "$1" ]; }
shot() { [ -z "${CORVENA_SCREENSHOT_DIR:-}" ] || import -window "$main" "$CORVENA_SCREENSHOT_DIR/$1"; }

as_user /usr/bin/corvena >"$work/wizard.log" 2>&1 &
wizard=$!
main=
wait_for "wizard window" window_shown
xdotool windowfocus --sync "$main"
wait_for "step 1 drawn" header_drawn
step1=$(header)
# Step 1 starts with the typing in the folder's edit; Enter is Next.
xdotool type --delay 2 "$ktvdemo_songs"
xdotool key Return
wait_for "step 2" header_is_not "$step1"
step2=$(header)
shot installed-step2.png
# A new user: no master suggested, nothing configured. Type it; Enter starts the run.
xdotool type --delay 2 "$master"
xdotool key Return
# Entering step 5 writes the choices before the step is drawn: a header taken before the file
# is there is not step 5's, and step 5 is drawn once the header differs from the last such.
tools="$home/.config/corvena/Tools.ini"
before=$step2
choices_written() { local now; now=$(header); [ -e "$tools" ] && return 0; before=$now; return 1; }
wait_for "the choices written on step 5" choices_written
wait_for "step 5 drawn" header_is_not "$before"
shot installed-step5.png
xdotool key Return # Finish is the default button
for _ in $(seq 1 600); do kill -0 "$wizard" 2>/dev/null || break; no_error_box; sleep 0.1; done
status=0
wait "$wizard" || status=$?
wizard=
[ $status = 0 ] || { cat "$work/wizard.log"; fail "the wizard ended with status $status"; }
own="$home/.local/share/corvena/Ktv.mdb"
songs=$(sqlite3 "$own" "select count(*) from Songs")
[ "$songs" -gt 250 ] || fail "the user's own database holds $songs songs"
grep -qx "CorvenTotalPath=$master" "$tools" || fail "the choices were not saved: $(cat "$tools")"
[ ! -e /usr/bin/Tools.ini ] && [ ! -e /usr/Tools.ini ] || fail "a tool file beside the installed program"
echo "   indexed $songs songs into $own, choices in $tools, Finish by Enter, status 0, no error box"

echo "== corvena-index for that user, without --local"
status=0
out=$(as_user /usr/bin/corvena-index --songs "$ktvdemo_songs" --master "$master" --quiet \
          --summary-json "$home/summary.json" 2>&1) || status=$?
[ $status = 0 ] || fail "corvena-index ended with status $status: $out"
python3 - "$home/summary.json" "$songs" <<'PY' || fail "corvena-index did not use the user's database: $out"
import json, sys
summary = json.load(open(sys.argv[1]))
print(f"   rewrote {summary['updated']} songs of the user's own database, inserted {summary['inserted']}")
sys.exit(0 if summary["updated"] == int(sys.argv[2]) and summary["inserted"] == 0 else 1)
PY

echo "== apt-get purge ${packages[*]}"
apt-get purge -y -q "${packages[@]}" >"$work/apt.log" 2>&1 || { cat "$work/apt.log"; fail "apt-get purge"; }
installed=0
for file in /usr/bin/corvena-index /usr/bin/corvena "/usr/lib/$arch/varnel" /etc/corvena; do
    [ ! -e "$file" ] || fail "$file left after purge"
done
echo "packages built, installed, run and removed"
