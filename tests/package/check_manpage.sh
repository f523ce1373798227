#!/usr/bin/env bash
# A man page against its program's --help: every option --help names is in the page, and groff
# reads the page without a warning (lintian reports those).
#   check_manpage.sh PROGRAM PAGE
set -euo pipefail
program=$1
page=$2
help=$("$program" --help)
# The page's options as written in roff ("\-\-only\-add") read as plain text.
text=$(sed 's/\\-/-/g' "$page")
status=0
for option in $(grep -oE '(^|[[:space:],])--?[A-Za-z][a-z-]*' <<<"$help" | tr -d ' ,' | sort -u); do
    if ! grep -qE -- "(^|[^a-z-])${option}([^a-z-]|$)" <<<"$text"; then
        echo "FAIL: $option of '$(basename "$program") --help' is not in $(basename "$page")"
        status=1
    fi
done
warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null || true)
if [ -n "$warnings" ]; then
    echo "FAIL: groff warns about $(basename "$page"):"
    echo "$warnings"
    status=1
fi
exit $status
