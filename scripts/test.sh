#!/usr/bin/env bash
# Installs what is needed, builds everything (the plug-in's 32-bit and Windows builds too)
# and runs every test; then runs the native tests again under the address and
# undefined-behaviour sanitizers, which catch lifetime faults the plain build would survive.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh
QT_QPA_PLATFORM=offscreen ctest --preset release -j "$(nproc)"
cmake --preset asan >/dev/null
cmake --build --preset asan -j "$(nproc)"
QT_QPA_PLATFORM=offscreen ctest --preset asan -j "$(nproc)"
bash scripts/fuzz.sh 30
