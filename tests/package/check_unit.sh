#!/usr/bin/env bash
# The unit template's exposure as systemd-analyze security scores it offline (0 safe .. 10
# exposed), for an instance: at most 4.0. Skipped, saying so, where systemd-analyze cannot run.
#   check_unit.sh UNIT-TEMPLATE
set -euo pipefail
if ! systemd-analyze --version >/dev/null 2>&1; then
    echo "SKIPPED: systemd-analyze cannot run here"
    exit 77
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
unit="$work/$(basename "${1/@.service/@srv-ktv-Songs.service}")"
cp "$1" "$unit"
out=$(systemd-analyze security --offline=yes --threshold=40 "$unit" 2>&1) || { echo "$out"; echo "FAIL: exposure above 4.0"; exit 1; }
grep -o 'Overall exposure level.*' <<<"$out"
