#!/usr/bin/env bash
# Runs the Windows test host under wine with its own prefix:
#   run_under_wine.sh PREFIX PROBE HOST PLUGIN
# PROBE is a 32-bit Windows program that only starts and ends; when wine is missing or cannot
# start it (no 32-bit support), this says so and exits 77, which ctest reports as skipped.
# Otherwise the exit status is the host's.
set -u
Prefix=$1 Probe=$2 Host=$3 Plugin=$4

# A 32-bit prefix of its own; no display (none is needed for console programs), no debug
# output.
export WINEPREFIX=$Prefix WINEARCH=win32 WINEDEBUG=-all
# No offer to install Mono or Gecko, and no menu entries or file types written into $HOME.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
unset DISPLAY WAYLAND_DISPLAY

if ! command -v wine >/dev/null; then
    echo "SKIPPED: wine is not installed (scripts/setup.sh installs wine and wine32:i386)"
    exit 77
fi
# The first start makes the prefix.
if ! Started=$(wine "$Probe" 2>&1) || [[ $Started != *"varnel_wineprobe: started"* ]]; then
    echo "SKIPPED: wine cannot start a 32-bit Windows program here" \
         "(wine32:i386 missing, or no 32-bit support in this kernel):"
    echo "$Started"
    exit 77
fi
PluginPath=$(winepath -w "$Plugin") || { echo "winepath failed for $Plugin"; exit 1; }
wine "$Host" "$PluginPath"
Status=$?
# Ends the prefix's server with the run, leaving nothing behind for the next one.
wineserver -w
exit $Status
