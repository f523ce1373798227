#!/usr/bin/env bash
# Configures and builds the release tree (build/release). Used by demo.sh and test.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)"
