#!/usr/bin/env bash
# Builds Reelhawk and starts it under Wine, in the private prefix with the stand-in browser and the
# demo resolver site.
set -uo pipefail
REELHAWK_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$REELHAWK_ROOT/scripts/lib.sh"
cd "$REELHAWK_ROOT"

reelhawk_ensure_packages || exit 1
cmake --preset windows -B "$REELHAWK_BUILD/windows" >/dev/null &&
    cmake --build "$REELHAWK_BUILD/windows" -j "$(nproc)" || exit 1

reelhawk_start_display || exit 1
reelhawk_start_wine
exe="$REELHAWK_BUILD/windows/app/reelhawk.exe"
if [ ! -f "$exe" ]; then
    log "reelhawk.exe is not built yet"
    status=1
else
    wine "$exe"
    status=$?
fi
reelhawk_stop_wine
reelhawk_stop_display
exit $status
