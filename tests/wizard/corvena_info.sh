#!/usr/bin/env bash
# --version and --help are answered before any window, so they work with no display at all; after
# "/i" the same word is the host's handle, and the program goes on to open its window (which fails
# here, with no display).
#   corvena_info.sh CORVENA VERSION
set -uo pipefail
corvena=$1
version=$2
status=0
# arguments | exit status (or "fails") | a line stdout must have ("" for nothing on stdout)
cases=(
    "--version|0|corvena $version"
    "--help|0|Usage: corvena [/i HANDLE | /e HANDLE]"
    "-h|0|  --version             print the version and exit"
    "--version /i 1234|0|corvena $version"
    "/i --version|fails|"
    "/e --help|fails|"
)
for case in "${cases[@]}"; do
    IFS='|' read -r args expected line <<<"$case"
    # shellcheck disable=SC2086
    out=$(env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=xcb "$corvena" $args 2>/dev/null)
    code=$?
    if [ "$expected" = fails ]; then
        [ "$code" -ne 0 ] || { echo "FAIL: corvena $args: status 0 without a display"; status=1; }
        [ -z "$out" ] || { echo "FAIL: corvena $args printed: $out"; status=1; }
        continue
    fi
    [ "$code" -eq "$expected" ] || { echo "FAIL: corvena $args: status $code, not $expected"; status=1; }
    grep -qxF -- "$line" <<<"$out" || { echo "FAIL: corvena $args: no line '$line' in:"; echo "$out"; status=1; }
done
exit $status
