#!/usr/bin/env bash
# The host link on a real (virtual) X display. A stand-in host starts the real corvena with
# "/i" and its own window id on a small demo library:
#   1. driven through every step, the wizard indexes the library and the host receives
#      WM_WIZ_INDEXED; Finish then ends the program with status 0;
#   2. the host sends WM_WIZ_CLOSE on step 1: the wizard ends at once, without a question.
#   corvena_host_x11.sh CORVENA TESTHOST KTVDEMO [BENCH_INDEX]
# CORVENA_HOST_TEST_COUNT sets the library's size (300 songs by default); the run's time is
# printed. Given BENCH_INDEX, its raw SQLite loop runs over the same library into a copy of the
# same empty database once before the wizard and once after (so that a load coming or going on
# a shared machine falls on both sides alike), and the run's time is printed as a ratio of the
# two loops' mean.
# CORVENA_HOST_PERF_DIR=DIR runs the wizard of the whole run under perf, counting from Next on
# step 2 to WM_WIZ_INDEXED, every thread of the program: CORVENA_HOST_PERF=stat (the default)
# prints the context switches and CPUs used (DIR/stat.txt), CORVENA_HOST_PERF=record writes a
# profile (`perf record -F 499 -g`) to DIR/perf.data, for `perf report -i DIR/perf.data`.
set -euo pipefail
if [ "${CORVENA_ON_XVFB:-}" != 1 ]; then
    exec env CORVENA_ON_XVFB=1 LC_ALL=C.UTF-8 QT_QPA_PLATFORM=xcb xvfb-run -a -s "-screen 0 1024x768x24 -noreset" bash "$0" "$@"
fi
corvena=$1 testhost=$2 ktvdemo=$3 bench=${4:-}
work=$(mktemp -d)
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; rm -rf "$work"; }
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; cat "$work"/*.log >&2 2>/dev/null || true; exit 1; }

"$ktvdemo" --out "$work/demo" --count "${CORVENA_HOST_TEST_COUNT:-300}" --seed 7 >/dev/null
mkdir -p "$work/demo/Tools"
cp "$work/demo/DataBase/Ktv.mdb" "$work/raw1.mdb"
cp "$work/demo/DataBase/Ktv.mdb" "$work/raw2.mdb"
raw_loop() { # DATABASE: prints the loop's seconds
    "$bench" --raw "$work/demo/Songs" "$work/demo/DataBase/Total.mdb" "$1" | awk '{print $3}'
}
cp "$corvena" "$work/demo/Tools/corvena"
# The song folder as if remembered from an earlier run; the master comes from Configure.ini.
printf '[History]\nCorvenSongPath=%s\n' "$work/demo/Songs" >"$work/demo/Tools/Tools.ini"

window_of() { # PID TITLE-PATTERN
    local i w
    for i in $(seq 1 300); do
        if w=$(xdotool search --all --onlyvisible --pid "$1" --name "$2" 2>/dev/null | head -n 1) && [ -n "$w" ]; then
            echo "$w"; return 0
        fi
        sleep 0.1
    done
    return 1
}
ended_within() { # PID TENTHS
    local i
    for i in $(seq 1 "$2"); do kill -0 "$1" 2>/dev/null || return 0; sleep 0.1; done
    return 1
}

# 1. A whole run.
if [ -n "$bench" ]; then raw1=$(raw_loop "$work/raw1.mdb") || fail "the raw loop failed"; fi
"$testhost" wait "$work/host1.txt" 900 >"$work/host1.id" 2>"$work/host1.log" &
host=$!; pids+=("$host")
for _ in $(seq 1 50); do [ -s "$work/host1.id" ] && break; sleep 0.1; done
hostwin=$(head -n 1 "$work/host1.id")
[ -n "$hostwin" ] || fail "the test host has no window"
perfdir=${CORVENA_HOST_PERF_DIR:-}
if [ -n "$perfdir" ]; then
    # Attaching to a running program would miss the threads it starts later (the workers).
    mkdir -p "$perfdir"
    mkfifo "$work/perf.ctl" "$work/perf.ack"
    case ${CORVENA_HOST_PERF:-stat} in
    stat) perf=(perf stat -e context-switches,cpu-migrations,task-clock -o "$perfdir/stat.txt") ;;
    record) perf=(perf record -q -F 499 -g -o "$perfdir/perf.data") ;;
    *) fail "CORVENA_HOST_PERF is stat or record" ;;
    esac
    "${perf[@]}" -D -1 --control "fifo:$work/perf.ctl,$work/perf.ack" -- \
        "$work/demo/Tools/corvena" /i "$hostwin" >"$work/corvena1.log" 2>&1 &
    wiz=$!; pids+=("$wiz")
    for _ in $(seq 1 100); do wizpid=$(pgrep -P "$wiz" | head -n 1) && [ -n "$wizpid" ] && break; sleep 0.1; done
else
    "$work/demo/Tools/corvena" /i "$hostwin" >"$work/corvena1.log" 2>&1 &
    wiz=$!; pids+=("$wiz"); wizpid=$wiz
fi
perf_control() { [ -z "$perfdir" ] || { echo "$1" >"$work/perf.ctl"; head -n 1 "$work/perf.ack" >/dev/null; }; }
main=$(window_of "$wizpid" "向导 离线索引歌曲") || fail "no wizard window"
xdotool windowfocus --sync "$main"
# Enter in the folder's edit is Next, done before the next key is read (Alt+N clicks its button
# a moment later, so a second Alt+N could come before step 2); then the focus is in the master's
# edit, and Alt+N goes on.
xdotool key --window "$main" Return  # step 1 -> 2
perf_control enable
xdotool key --window "$main" alt+n   # step 2 -> 3: search, then indexing
started=$(date +%s.%N)
status=0
wait "$host" || status=$?
elapsed=$(echo "$(date +%s.%N) - $started" | bc)
perf_control disable
[ "$status" = 0 ] || fail "the host got no WM_WIZ_INDEXED (status $status)"
grep -qx '1127 0 0' "$work/host1.txt" || fail "unexpected host messages: $(cat "$work/host1.txt")"
[ "$(wc -l <"$work/host1.txt")" = 1 ] || fail "more than one host message: $(cat "$work/host1.txt")"
songs=$(sqlite3 "$work/demo/DataBase/Ktv.mdb" "select count(*) from Songs")
[ "$songs" -gt 250 ] || fail "only $songs songs written"
# Step 5 saves the choices as it is entered (the host is told just before): then Finish is up.
saved=0
for _ in $(seq 1 300); do grep -q '^OverWrite=' "$work/demo/Tools/Tools.ini" && { saved=1; break; }; sleep 0.1; done
[ "$saved" = 1 ] || fail "step 5 was not entered (the choices were not saved)"
xdotool windowfocus --sync "$main" 2>/dev/null || true
xdotool key --window "$main" alt+f   # Finish
ended_within "$wiz" 100 || fail "Finish did not end the wizard"
status=0; wait "$wiz" || status=$?
[ "$status" = 0 ] || fail "the wizard ended with status $status"
if [ -n "$perfdir" ] && [ "${CORVENA_HOST_PERF:-stat}" = stat ]; then
    # perf's own "CPUs utilized" divides by the program's whole life, not the counted run.
    awk -v sec="$elapsed" -v files="$songs" '
        { gsub(",", "", $1) }
        $2 == "context-switches" { cs = $1 }
        $2 == "msec" && $3 == "task-clock" { cpu = $1 / 1000 }
        END { printf "perf stat over the run: %d context switches (%.2f a song), %.1f s of CPU, %.2f CPUs used\n",
                     cs, cs / files, cpu, cpu / sec }' "$perfdir/stat.txt"
fi
grep -q '^CorvenTotalPath=' "$work/demo/Tools/Tools.ini" || fail "the choices were not saved"
echo "ok: indexed $songs songs in $elapsed s, the host got WM_WIZ_INDEXED once, Finish ended the wizard"
if [ -n "$bench" ]; then
    raw2=$(raw_loop "$work/raw2.mdb") || fail "the raw loop failed"
    for db in raw1 raw2; do
        rawsongs=$(sqlite3 "$work/$db.mdb" "select count(*) from Songs")
        [ "$rawsongs" = "$songs" ] || fail "the raw loop wrote $rawsongs songs, the wizard $songs"
    done
    printf 'whole run (Next on step 2 to WM_WIZ_INDEXED) %.1f s, raw loop %.1f s before and %.1f s after: %.2fx raw\n' \
        "$elapsed" "$raw1" "$raw2" "$(echo "scale=4; 2 * $elapsed / ($raw1 + $raw2)" | bc)"
fi

# 2. The host closes the wizard on step 1.
"$work/demo/Tools/corvena" /i "$hostwin" >"$work/corvena2.log" 2>&1 &
wiz=$!; pids+=("$wiz")
main=$(window_of "$wiz" "向导 离线索引歌曲") || fail "no wizard window the second time"
"$testhost" send "$main" 0x4C8 || fail "could not send WM_WIZ_CLOSE"
ended_within "$wiz" 50 || fail "WM_WIZ_CLOSE did not end the wizard"
status=0; wait "$wiz" || status=$?
[ "$status" = 0 ] || fail "the wizard ended with status $status after WM_WIZ_CLOSE"
echo "ok: WM_WIZ_CLOSE from the host ended the wizard without a question"
echo "host link on X: all checks passed"
