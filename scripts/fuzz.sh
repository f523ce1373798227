#!/usr/bin/env bash
# Builds the fuzz preset and runs every fuzz target (one per seed folder fuzz/corpus/<name>)
# for RUNS executions or SECONDS seconds, whichever comes first; prints the executions and
# their rate per target and fails when a target crashed or a check failed.
#   scripts/fuzz.sh [SECONDS] [RUNS]     (default 600 s and 1000000 runs; CI runs 30 s)
# New inputs are kept in build/fuzz/corpus/<name>, a failing input in build/fuzz/artifacts/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-600}
runs=${2:-1000000}

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)" >/dev/null

mkdir -p build/fuzz/artifacts build/fuzz/logs
failed=()
summary=()
for seeds in fuzz/corpus/*/; do
    name=$(basename "$seeds")
    target=build/fuzz/fuzz/fuzz_$name
    corpus=build/fuzz/corpus/$name
    log=build/fuzz/logs/$name.log
    mkdir -p "$corpus"
    echo "== fuzz_$name: up to $runs executions or $seconds s"
    status=0
    "$target" -runs="$runs" -max_total_time="$seconds" -timeout=30 \
        -artifact_prefix="build/fuzz/artifacts/$name-" "$corpus" "$seeds" >"$log" 2>&1 || status=$?
    done_line=$(grep -E '^Done [0-9]+ runs in [0-9]+ second' "$log" | tail -1 || true)
    if [[ $status -ne 0 || -z $done_line ]]; then
        echo "   FAILED (exit $status); the end of $log:"
        tail -n 30 "$log" | sed 's/^/   | /'
        failed+=("$name")
        summary+=("fuzz_$name: FAILED")
        continue
    fi
    executions=$(sed -E 's/^Done ([0-9]+) runs in ([0-9]+) second.*/\1/' <<<"$done_line")
    elapsed=$(sed -E 's/^Done ([0-9]+) runs in ([0-9]+) second.*/\2/' <<<"$done_line")
    rate=$((executions / (elapsed > 0 ? elapsed : 1)))
    summary+=("fuzz_$name: $executions executions in $elapsed s ($rate exec/s)")
    echo "   ${summary[-1]#*: }"
done

echo "== summary"
printf '   %s\n' "${summary[@]}"
if [[ ${#failed[@]} -gt 0 ]]; then
    echo "fuzzing found faults in: ${failed[*]} (inputs in build/fuzz/artifacts/)"
    exit 1
fi
