#!/usr/bin/env bash
# Installs what is needed, builds everything (the plug-in's 32-bit and Windows builds too)
# and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh
QT_QPA_PLATFORM=offscreen ctest --preset release -j "$(nproc)"
