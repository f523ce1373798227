#!/usr/bin/env bash
# Long stress runs of what the tests check briefly; prints their figures.
#   scripts/stress.sh [ROUNDS] [CLOSE_ROUNDS] [SEED]   (defaults: 200000 window rounds, 200 close rounds)
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
