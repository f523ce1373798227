#!/usr/bin/env bash
# Installs what is needed, builds, generates the demo song library and runs the main job on it.
#   scripts/demo.sh [COUNT] [SEED]     (defaults: 100000 songs, seed 1)
set -euo pipefail
cd "$(dirname "$0")/.."
count=${1:-100000}
seed=${2:-1}
bash scripts/setup.sh
bash scripts/build.sh
rm -rf demo
build/release/tools/ktvdemo --out demo --count "$count" --seed "$seed"
