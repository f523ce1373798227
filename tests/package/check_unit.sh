#!/usr/bin/env bash
# The unit template's exposure as systemd-analyze security scores it offline (0 safe .. 10
# exposed), for an instance: at most 4.0, alone and with each drop-in given (which open what a
# database server needs). Skipped, saying so, where systemd-analyze cannot run.
#   check_unit.sh UNIT-TEMPLATE [DROP-IN...]
set -euo pipefail
if ! systemd-analyze --version >/dev/null 2>&1; then
    echo "SKIPPED: systemd-analyze cannot run here"
    exit 77
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
unit="$work/$(basename "${1/@.service/@srv-ktv-Songs.service}")"
cp "$1" "$unit"
shift
score() {
    out=$(systemd-analyze security --offline=yes --threshold=40 "$unit" 2>&1) || { echo "$out"; echo "FAIL: exposure above 4.0 $1"; exit 1; }
    echo "$(grep -o 'Overall exposure level.*' <<<"$out") $1"
}
score "(the unit alone)"
for dropin in "$@"; do
    rm -rf "$unit.d"
    mkdir "$unit.d"
    cp "$dropin" "$unit.d/"
    score "(with $(basename "$dropin"))"
done
