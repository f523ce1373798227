#!/usr/bin/env bash
# Long stress runs of what the tests check briefly; prints their figures.
#   scripts/stress.sh [ROUNDS] [CLOSE_ROUNDS] [SEED] [KILL_ROUNDS] [WRITER_ROUNDS] [FILES]
#   (defaults: 200000 window rounds, 200 close rounds, 50 kill -9 rounds, 10 two-writer rounds,
#   20000 files)
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=${1:-200000}
bash scripts/build.sh >/dev/null
export QT_QPA_PLATFORM=offscreen
echo "== window messages: a worker sends while its window goes and comes back ($rounds rounds, 10 runs)"
for run in $(seq 1 10); do
    start=$(date +%s.%N)
    CORVENA_STRESS_ROUNDS=$rounds build/release/tests/core/test_winmessages \
        WindowsComingAndGoingUnderAWorkersSends 2>&1 | grep -E 'rounds,|FAIL' || { echo "run $run failed"; exit 1; }
    echo "   run $run: $(echo "$(date +%s.%N) - $start" | bc) s"
done

close_rounds=${2:-200}
echo "== closing the wizard at random moments of the search and the indexing ($close_rounds rounds, 2,000 files)"
start=$(date +%s.%N)
CORVENA_CLOSE_ROUNDS=$close_rounds CORVENA_CLOSE_SEED=${3:-$RANDOM} build/release/tests/wizard/test_closestress 2>&1 \
    | grep -E 'rounds \(seed|FAIL|Loc' || true
echo "   $(echo "$(date +%s.%N) - $start" | bc) s"

kill_rounds=${4:-50}
writer_rounds=${5:-10}
files=${6:-20000}
echo "== corvena-index killed (kill -9) at random moments, then run again ($kill_rounds rounds, $files files)"
echo "== two corvena-index runs at once on one database ($writer_rounds rounds, $files files)"
start=$(date +%s.%N)
CORVENA_KILL_ROUNDS=$kill_rounds CORVENA_KILL_SEED=${3:-$RANDOM} CORVENA_WRITER_ROUNDS=$writer_rounds \
    CORVENA_STRESS_FILES=$files build/release/tests/index/test_corvena_index \
    --gtest_filter='CorvenaIndexConcurrency.*' 2>&1 | grep -E 'rounds|FAIL|Failure|Expected|Which' || true
echo "   $(echo "$(date +%s.%N) - $start" | bc) s"
