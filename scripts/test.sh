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

reelhawk_ensure_packages test || exit 1

step() { log "$*"; }

# The read-me and the guides link to each other; a heading renamed must not leave a link dangling.
step "links between the documents"
python3 "$REELHAWK_ROOT/scripts/check_docs.py" || status=1

# Host: the portable parts under ASan/UBSan.
step "host build"
reelhawk_run cmake --preset host -B "$REELHAWK_BUILD/host" >/dev/null &&
    reelhawk_run cmake --build "$REELHAWK_BUILD/host" -j "$jobs" || exit 1

# Windows: the whole program, cross-compiled.
step "windows build"
# A test build: its package may point at the demo resolver (and is named for tests).
reelhawk_run cmake --preset windows -B "$REELHAWK_BUILD/windows" -DREELHAWK_TEST_BUILD=ON >/dev/null &&
    reelhawk_run cmake --build "$REELHAWK_BUILD/windows" -j "$jobs" || exit 1

# The release zip; a test checks what it holds.
step "release package"
reelhawk_run cmake --build "$REELHAWK_BUILD/windows" --target package >/dev/null || exit 1

step "host tests"
reelhawk_run ctest --test-dir "$REELHAWK_BUILD/host" -j "$jobs" --output-on-failure --timeout 300 ||
    status=1

# Meanwhile, at the lowest priority, on what the Windows suite leaves of the processors (it runs
# one program on the screen at a time): the resolver's Debian package, from a tree of its own
# (Release, no sanitizers, the resolver alone), and the fuzz smoke runs. The tests of the whole
# chain run the service of the host build.
mkdir -p "$REELHAWK_BUILD/artifacts"
package_log="$REELHAWK_BUILD/artifacts/resolver-package.log"
reelhawk_background "$package_log" bash -c '
    cmake --preset resolver -B "$REELHAWK_BUILD/resolver-release" >/dev/null &&
        cmake --build "$REELHAWK_BUILD/resolver-release" -j "$0" --target package' "$jobs"
package_build=$REELHAWK_BACKGROUND_PID
fuzz_log="$REELHAWK_BUILD/artifacts/fuzz.log"
# One target at a time: the suite's Chromium wants both processors now and then.
reelhawk_background "$fuzz_log" env REELHAWK_FUZZ_JOBS=1 \
    "$REELHAWK_ROOT/scripts/fuzz.sh" "${REELHAWK_FUZZ_SECONDS:-25}"
fuzz_run=$REELHAWK_BACKGROUND_PID
export REELHAWK_RESOLVER_BIN="$REELHAWK_BUILD/host/resolver/reelhawk-resolver"

step "windows tests under Wine"
reelhawk_start_display || exit 1
reelhawk_start_wine
# The suites that drive the browser control run once more on Chromium (their *.chromium cases).
reelhawk_start_chromium || status=1
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

step "resolver package (made meanwhile) and its check"
if reelhawk_wait_background "$package_build"; then
    reelhawk_run ctest --test-dir "$REELHAWK_BUILD/resolver-release" --output-on-failure \
        --timeout 120 || status=1
else
    tail -n 30 "$package_log" >&2
    log "the resolver's package was not made; its build's output: $package_log"
    status=1
fi

# The main job on the sample video site, as a user runs it.
step "scripts/run.sh --sample"
sample_log="$REELHAWK_BUILD/artifacts/run-sample.log"
REELHAWK_RUN_BUILT=1 reelhawk_run "$REELHAWK_ROOT/scripts/run.sh" --sample </dev/null \
    >"$sample_log" 2>&1
sample_status=$?
grep -v '^\[' "$sample_log" >&2
if [ $sample_status -ne 0 ] || ! grep -q '^  http://127\.0\.0\.1:[0-9]*/files/lake\.mp4$' "$sample_log"; then
    log "scripts/run.sh --sample failed (exit $sample_status); its whole output: $sample_log"
    status=1
fi

step "fuzz smoke runs (made meanwhile)"
reelhawk_wait_background "$fuzz_run" || status=1
cat "$fuzz_log" >&2

log "all done in $(($(date +%s) - started)) s; $([ $status -eq 0 ] && echo passed || echo FAILED)"
exit $status
