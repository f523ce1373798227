#!/usr/bin/env bash
# WAL growth while another program holds one read transaction for a whole corvena-index run,
# and what is left once it lets go. Prints the figures.
#   bench/wal_growth.sh [COUNT=20000] [BUILD=build/release]
set -euo pipefail
count=${1:-20000}
build=${2:-build/release}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$build/tools/ktvdemo" --out "$work/demo" --count "$count" --seed 1 >/dev/null
db="$work/demo/DataBase/Ktv.mdb"
index() { "$build/index/corvena-index" --songs "$work/demo/Songs" --master "$work/demo/DataBase/Total.mdb" \
              --local "$db" --quiet "$@" >/dev/null; }
wal() { stat -c %s "$db-wal" 2>/dev/null || echo 0; }
# Samples the WAL's size until the file named by $1 appears; prints the peak.
peak() { local max=0 size; while [ ! -e "$1" ]; do size=$(wal); [ "$size" -gt "$max" ] && max=$size; sleep 0.1; done
         size=$(wal); [ "$size" -gt "$max" ] && max=$size; echo "$max"; }

# The database in WAL mode first, as the song-request host would find it.
sqlite3 "$db" 'pragma journal_mode=WAL;' >/dev/null
# The reader: a read transaction begun before the run and held through it.
coproc READER { sqlite3 "$db"; }
echo "begin; select count(*) from Songs;" >&"${READER[1]}"
read -r _ <&"${READER[0]}"

peak "$work/run1.done" >"$work/peak1" & sampler=$!
start=$(date +%s.%N)
index || true
seconds=$(echo "$(date +%s.%N) - $start" | bc)
touch "$work/run1.done"; wait $sampler
songs=$(sqlite3 "$db" 'select count(*) from Songs')
peak1=$(cat "$work/peak1")
printf 'run 1, a reader holding one read transaction: %d songs in %.1f s, WAL peak %d bytes = %d bytes a song\n' \
    "$songs" "$seconds" "$peak1" $((peak1 / songs))
printf '  WAL after the run, the reader still holding: %d bytes\n' "$(wal)"

# The reader lets go but keeps its connection open; a second run rewrites every song.
echo "commit;" >&"${READER[1]}"
peak "$work/run2.done" >"$work/peak2" & sampler=$!
index || true
touch "$work/run2.done"; wait $sampler
printf 'run 2 (rewrite), the reader idle: WAL peak %d bytes, after the run %d bytes\n' "$(cat "$work/peak2")" "$(wal)"
echo ".quit" >&"${READER[1]}"
wait "$READER_PID" 2>/dev/null || true
