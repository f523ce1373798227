#!/usr/bin/env bash
# The real program on a real (virtual) X display, used as a person would: started with no
# arguments, with "/i 1234" and with "/i xyz", it shows its window; Escape asks before closing
# on step 1, and answering the question with Enter (Yes is the default) ends it with status 0.
# The window carries its icon (_NET_WM_ICON); under an English locale the window and the
# question are English.
#   corvena_x11.sh CORVENA
set -euo pipefail
if [ "${CORVENA_ON_XVFB:-}" != 1 ]; then
    exec env CORVENA_ON_XVFB=1 LC_ALL=C.UTF-8 QT_QPA_PLATFORM=xcb xvfb-run -a -s "-screen 0 1024x768x24 -noreset" bash "$0" "$@"
fi
corvena=$1
work=$(mktemp -d)
pid=
cleanup() { [ -n "$pid" ] && kill "$pid" 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT
fail() {
    echo "FAIL: $*" >&2
    echo "windows: $(xdotool search --name . 2>/dev/null | while read -r w; do printf '%s[%s] ' "$w" "$(xdotool getwindowname "$w")"; done)" >&2
    cat "$work/out.log" >&2 2>/dev/null || true
    exit 1
}

# The program beside an empty song-request folder, so that it reads and writes nothing else.
mkdir -p "$work/KTV/Tools"
cp "$corvena" "$work/KTV/Tools/corvena"

window_of() { # PID TITLE-PATTERN: the first visible window of that process with that title
    local i
    for i in $(seq 1 300); do
        if w=$(xdotool search --all --onlyvisible --pid "$1" --name "$2" 2>/dev/null | head -n 1) && [ -n "$w" ]; then
            echo "$w"
            return 0
        fi
        sleep 0.1
    done
    return 1
}

focused() { # WINDOW: waits until WINDOW has the keyboard focus
    local i
    for i in $(seq 1 300); do
        [ "$(xdotool getwindowfocus 2>/dev/null)" = "$1" ] && return 0
        sleep 0.1
    done
    return 1
}

title="向导 离线索引歌曲"
question="确认"
run_case() {
    env LC_ALL="${ui_locale:-$LC_ALL}" "$work/KTV/Tools/corvena" "$@" >"$work/out.log" 2>&1 &
    pid=$!
    main=$(window_of "$pid" "$title") || fail "no wizard window for: $*"
    icon=$(xprop -id "$main" _NET_WM_ICON)
    [[ $icon == *"Icon ("* ]] || fail "no window icon for: $*"
    xdotool windowfocus --sync "$main"
    xdotool key Escape
    box=$(window_of "$pid" "$question") || fail "Escape on step 1 did not ask for: $*"
    # The question box takes the focus itself once it is up: the answer goes where the focus is.
    focused "$box" || fail "the question did not take the focus for: $*"
    xdotool key Return
    for _ in $(seq 1 100); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -0 "$pid" 2>/dev/null && fail "still running after Yes for: $*"
    status=0
    wait "$pid" || status=$?
    pid=
    [ "$status" = 0 ] || { cat "$work/out.log" >&2; fail "exit status $status for: $*"; }
    [ ! -e "$work/KTV/Tools/Tools.ini" ] || fail "closing on step 1 wrote the tool file"
    echo "ok: corvena $* (LC_ALL=${ui_locale:-$LC_ALL})"
}

run_case
run_case /i 1234
run_case /i xyz
title="Wizard: Offline Song Indexing" question="Confirm" ui_locale=en_US.UTF-8 run_case
echo "corvena on X: all checks passed"
