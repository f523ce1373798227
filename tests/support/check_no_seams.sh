#!/bin/sh
# Usage: check_no_seams.sh TEST_BUILD SHIPPED...
# What only the tests need (cmake/TestSeams.cmake) must be in no shipped program or library,
# and must be in TEST_BUILD (a test program), or this check would prove nothing.
set -u
test_build=$1
shift
status=0
seams="WaitForPendingMessage SetBoxHandler SetDialogHandler TScriptedBoxes SetAccessReaderProgram SetAccessReaderLimits"
# The symbol table where there is one, else the bytes (a stripped file keeps no names to hide).
names() { { nm -C "$1" 2>/dev/null; nm -D -C "$1" 2>/dev/null; strings -a "$1"; } | tr -s ' ' '\n'; }
test_names=$(names "$test_build")
for seam in $seams; do
    if ! echo "$test_names" | grep -q "^$seam\b"; then
        echo "FAIL: $test_build lacks $seam" >&2
        status=1
    fi
done
for shipped in "$@"; do
    shipped_names=$(names "$shipped")
    for seam in $seams; do
        if echo "$shipped_names" | grep -q "^$seam\b"; then
            echo "FAIL: $shipped holds $seam" >&2
            status=1
        fi
    done
done
[ $status -eq 0 ] && echo "no test seams in: $*"
exit $status
