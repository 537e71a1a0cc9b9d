#!/usr/bin/env bash
# How ctest runs a Windows program: under Wine, with the program's output passed through.
#
# Once in a long while Wine fails to start a program at all: it ends within milliseconds with a
# non-zero code and the program has printed nothing, not even the test framework's first lines.
# Such a start is tried once more and said on stderr (and, when REELHAWK_WINE_RESTARTS names a
# file, noted there for the end of the test run, with what Wine itself said on stderr, which is
# the only clue to why). A program that printed anything, ran for a while, or fails the same way
# twice keeps its result.
set -u

out=$(mktemp "${TMPDIR:-/tmp}/reelhawk-wine.XXXXXX") || exit 1
err=$(mktemp "${TMPDIR:-/tmp}/reelhawk-wine-err.XXXXXX") || exit 1
trap 'rm -f "$out" "$err" "$err.pid"' EXIT

for attempt in 1 2; do
    started=$(date +%s%N)
    # stderr passes through as it comes, and is kept.
    wine "$@" 2> >(echo "$BASHPID" >"$err.pid"; exec tee "$err" >&2) | tee "$out"
    status=${PIPESTATUS[0]}
    elapsed_ms=$((($(date +%s%N) - started) / 1000000))
    if [ "$status" -eq 0 ] || [ -s "$out" ] || [ "$elapsed_ms" -ge 5000 ] || [ "$attempt" -eq 2 ]; then
        exit "$status"
    fi
    note="wine ended $(basename "$1") with code $status after $elapsed_ms ms before it printed anything; starting it once more"
    echo "[reelhawk] $note" >&2
    if [ -n "${REELHAWK_WINE_RESTARTS:-}" ]; then
        # The copy of stderr is complete once its tee has ended (it has seen the end of wine's).
        for _ in $(seq 1 100); do
            kill -0 "$(cat "$err.pid" 2>/dev/null)" 2>/dev/null || break
            sleep 0.02
        done
        said=$(head -c 2000 "$err" | tr '\n' ' ')
        echo "$note: $*; wine said: ${said:-nothing}" >>"$REELHAWK_WINE_RESTARTS"
    fi
done
