#!/usr/bin/env bash
# How ctest runs a Windows program: under Wine, with the program's output passed through.
#
# Once in a long while Wine fails to start a program at all: it ends within milliseconds with a
# non-zero code and the program has printed nothing, not even the test framework's first lines.
# Such a start is tried once more and said on stderr (and, when REELHAWK_WINE_RESTARTS names a
# file, noted there for the end of the test run). A program that printed anything, ran for a
# while, or fails the same way twice keeps its result.
set -u

out=$(mktemp "${TMPDIR:-/tmp}/reelhawk-wine.XXXXXX") || exit 1
trap 'rm -f "$out"' EXIT

for attempt in 1 2; do
    started=$(date +%s%N)
    wine "$@" | tee "$out"
    status=${PIPESTATUS[0]}
    elapsed_ms=$((($(date +%s%N) - started) / 1000000))
    if [ "$status" -eq 0 ] || [ -s "$out" ] || [ "$elapsed_ms" -ge 5000 ] || [ "$attempt" -eq 2 ]; then
        exit "$status"
    fi
    note="wine ended $(basename "$1") with code $status after $elapsed_ms ms before it printed anything; starting it once more"
    echo "[reelhawk] $note" >&2
    if [ -n "${REELHAWK_WINE_RESTARTS:-}" ]; then
        echo "$note: $*" >>"$REELHAWK_WINE_RESTARTS"
    fi
done
