#!/bin/sh
# Usage: check_shipped.sh PROGRAM TESTHOOKS_PROGRAM TEST_BUILD
# The program must start on a server without GUI libraries, and must never read the tests'
# slow-down variables (the test build must, or this check would prove nothing), nor hold what
# only the tests need (TEST_BUILD, a test program, must).
set -u
program=$1
hooked=$2
test_build=$3
status=0
needed=$(objdump -p "$program" | awk '$1 == "NEEDED" { print $2 }')
echo "$needed"
if ! echo "$needed" | grep -q '^libQt6Core\.so'; then
    echo "FAIL: $program does not link Qt Core" >&2
    status=1
fi
if echo "$needed" | grep -Eq 'Qt6(Gui|Widgets|OpenGL|Xcb)|xcb|X11|libGL|libEGL'; then
    echo "FAIL: $program links a GUI library" >&2
    status=1
fi
for name in CORVENA_INDEX_FILE_DELAY_MS CORVENA_INDEX_ENTRY_DELAY_MS CORVENA_INDEX_WATCH_LIMIT \
            CORVENA_INDEX_RESCAN_MS CORVENA_INDEX_WATCH_PASSES; do
    if grep -aq "$name" "$program"; then
        echo "FAIL: $program holds $name" >&2
        status=1
    fi
    if ! grep -aq "$name" "$hooked"; then
        echo "FAIL: $hooked lacks $name" >&2
        status=1
    fi
done
sh "$(dirname "$0")/../support/check_no_seams.sh" "$test_build" "$program" || status=1
exit $status
