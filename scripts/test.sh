#!/usr/bin/env bash
# Installs what is needed, builds everything (the plug-in's 32-bit and Windows builds too)
# and runs every test (those of a local song database on a PostgreSQL server, label pg, inside a
# throw-away cluster: scripts/pg_tests.sh); builds the Debian packages, installs them, runs the
# installed programs and removes them again; then runs the native tests again under the address and
# undefined-behaviour sanitizers, which catch lifetime faults the plain build would survive; the
# tests with threads under the thread sanitizer; and each fuzz target for 30 seconds.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh
QT_QPA_PLATFORM=offscreen ctest --preset release -j "$(nproc)" -LE pg
bash scripts/pg_tests.sh release -j "$(nproc)"
bash scripts/package_test.sh
cmake --preset asan >/dev/null
cmake --build --preset asan -j "$(nproc)"
QT_QPA_PLATFORM=offscreen ctest --preset asan -j "$(nproc)" -LE pg
bash scripts/pg_tests.sh asan -j "$(nproc)"
# The tests with threads under the thread sanitizer (label "threads").
cmake --preset tsan >/dev/null
cmake --build --preset tsan -j "$(nproc)" --target thread_tests
QT_QPA_PLATFORM=offscreen ctest --preset tsan -j "$(nproc)" -L threads
bash scripts/fuzz.sh 30
