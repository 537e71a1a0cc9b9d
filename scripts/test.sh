#!/usr/bin/env bash
# Sets up what it needs, builds both flavours, runs every test and the fuzz smoke runs.
# Exits non-zero when anything failed.
#
#   scripts/test.sh               everything once
#   scripts/test.sh --repeat N    the Windows suite N times in a row (after the host tests), each
#                                 run with ctest's own summary, then a line per run; for telling
#                                 a test that fails now and then from one that always fails
set -uo pipefail
REELHAWK_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$REELHAWK_ROOT/scripts/lib.sh"
cd "$REELHAWK_ROOT"

repeat=1
while [ $# -gt 0 ]; do
    case "$1" in
    --repeat)
        repeat="${2:-}"
        shift 2 || true
        ;;
    --repeat=*)
        repeat="${1#--repeat=}"
        shift
        ;;
    *)
        echo "usage: scripts/test.sh [--repeat N]" >&2
        exit 2
        ;;
    esac
done
case "$repeat" in
'' | *[!0-9]* | 0)
    echo "scripts/test.sh: --repeat takes a whole number of runs, 1 or more" >&2
    exit 2
    ;;
esac

jobs=$(nproc)
status=0
started=$(date +%s)
reelhawk_stop_all_on_exit

reelhawk_ensure_packages || exit 1

step() { log "$*"; }

# Host: the portable parts under ASan/UBSan.
step "host build"
reelhawk_run cmake --preset host -B "$REELHAWK_BUILD/host" >/dev/null &&
    reelhawk_run cmake --build "$REELHAWK_BUILD/host" -j "$jobs" || exit 1

# Windows: the whole program, cross-compiled.
step "windows build"
reelhawk_run cmake --preset windows -B "$REELHAWK_BUILD/windows" >/dev/null &&
    reelhawk_run cmake --build "$REELHAWK_BUILD/windows" -j "$jobs" || exit 1

# The release zip; a test checks what it holds.
step "release package"
reelhawk_run cmake --build "$REELHAWK_BUILD/windows" --target package >/dev/null || exit 1

# The resolver's Debian package, from a tree of its own (Release, no sanitizers, the resolver
# alone); that tree's test checks it.
step "resolver package"
reelhawk_run cmake --preset resolver -B "$REELHAWK_BUILD/resolver-release" >/dev/null &&
    reelhawk_run cmake --build "$REELHAWK_BUILD/resolver-release" -j "$jobs" --target package \
        >/dev/null || exit 1

step "host tests"
reelhawk_run ctest --test-dir "$REELHAWK_BUILD/host" -j "$jobs" --output-on-failure --timeout 300 ||
    status=1
reelhawk_run ctest --test-dir "$REELHAWK_BUILD/resolver-release" --output-on-failure --timeout 120 ||
    status=1

step "windows tests under Wine"
reelhawk_start_display || exit 1
reelhawk_start_wine
# The suites that drive the browser control run once more on Chromium (their *.chromium cases).
reelhawk_start_chromium || status=1
mkdir -p "$REELHAWK_BUILD/artifacts"
export REELHAWK_ARTIFACTS="$REELHAWK_BUILD/artifacts"
# Wine's own error lines on, so that a program Wine could not start says why.
export WINEDEBUG=-all,err+all
export REELHAWK_WINE_RESTARTS="$REELHAWK_BUILD/artifacts/wine-restarts.log"
export REELHAWK_WINE_NOTES="$REELHAWK_BUILD/artifacts/wine-held-output.log"
rm -f "$REELHAWK_WINE_RESTARTS" "$REELHAWK_WINE_NOTES"
# ctest's output to the screen and to the run's log; its own exit status.
windows_ctest() {
    ctest --test-dir "$REELHAWK_BUILD/windows" -j "$jobs" --output-on-failure --timeout 300 2>&1 |
        tee "$1"
    return "${PIPESTATUS[0]}"
}
runs=()
for run in $(seq 1 "$repeat"); do
    [ "$repeat" -gt 1 ] && step "windows tests, run $run of $repeat"
    run_started=$(date +%s)
    ctest_log="$REELHAWK_BUILD/artifacts/ctest-windows-$run.log"
    reelhawk_run windows_ctest "$ctest_log"
    run_status=$?
    [ "$run_status" -eq 0 ] || status=1
    summary=$(grep -E '^[0-9]+% tests passed' "$ctest_log" | tail -n 1)
    runs+=("run $run: ${summary:-no summary}, $(($(date +%s) - run_started)) s")
done
if [ "$repeat" -gt 1 ]; then
    log "windows suite, $repeat runs in a row:"
    printf '    %s\n' "${runs[@]}" >&2
fi
if [ -s "$REELHAWK_WINE_RESTARTS" ]; then
    log "Wine failed to start these programs at the first try; each was started once more:"
    sed 's/^/    /' "$REELHAWK_WINE_RESTARTS" >&2
fi
if [ -s "$REELHAWK_WINE_NOTES" ]; then
    log "these programs ended while Wine processes they had started held their output open" \
        "(the Wine server was started again during the run):"
    sed 's/^/    /' "$REELHAWK_WINE_NOTES" >&2
fi
reelhawk_stop_chromium
reelhawk_stop_wine
reelhawk_stop_display

if [ -x "$REELHAWK_ROOT/scripts/fuzz.sh" ]; then
    step "fuzz smoke runs"
    reelhawk_run "$REELHAWK_ROOT/scripts/fuzz.sh" "${REELHAWK_FUZZ_SECONDS:-25}" || status=1
fi

log "all done in $(($(date +%s) - started)) s; $([ $status -eq 0 ] && echo passed || echo FAILED)"
exit $status
