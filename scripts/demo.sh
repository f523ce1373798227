#!/usr/bin/env bash
# Installs what is needed, builds, generates the demo song library and runs the main job on it:
# the headless indexer fills the local song database from the master catalogue, then runs again
# adding only, which keeps every song.
#   scripts/demo.sh [COUNT] [SEED]     (defaults: 100000 songs, seed 1)
set -euo pipefail
cd "$(dirname "$0")/.."
count=${1:-100000}
seed=${2:-1}
bash scripts/setup.sh
bash scripts/build.sh
rm -rf demo
build/release/tools/ktvdemo --out demo --count "$count" --seed "$seed"

index=(build/release/index/corvena-index --songs demo/Songs --master demo/DataBase/Total.mdb
       --local demo/DataBase/Ktv.mdb)
echo
echo "== Indexing demo/Songs: each file name is looked up in demo/DataBase/Total.mdb and the songs"
echo "   found are written into demo/DataBase/Ktv.mdb (files unknown to it: demo/unmatched.txt)"
"${index[@]}" --unmatched demo/unmatched.txt --summary-json demo/summary.json
echo
echo "== Indexing again with --only-add: every song is in Ktv.mdb already and is kept as it is"
"${index[@]}" --only-add --summary-json demo/summary-only-add.json
