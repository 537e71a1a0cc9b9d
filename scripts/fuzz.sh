#!/usr/bin/env bash
# Runs every fuzz target of the host build for SECONDS each (default 25), two targets at a time
# (REELHAWK_FUZZ_JOBS=1: one at a time), on freshly generated seeds. Builds nothing: the host
# build ($REELHAWK_BUILD/host, made by scripts/test.sh) must have made the targets.
#
# Each target runs in two stages with -max_len=1200000: a quarter of the time on all seeds,
# megabyte-long texts included, then the rest on the small seeds alone, where the fuzzer makes
# thousands of times more inputs per second. Each run starts from a fresh corpus so that it takes
# the same work whatever earlier runs found; inputs that made a target fail are kept under
# $REELHAWK_BUILD/fuzz/artifacts.
# Prints one line per target; exits non-zero when any target found a fault or did not run.
set -uo pipefail
REELHAWK_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$REELHAWK_ROOT/scripts/lib.sh"

seconds="${1:-25}"
targets=(split_text find_text to_number extract_link_address page_link)
bin="$REELHAWK_BUILD/host/tests/fuzz"
work="$REELHAWK_BUILD/fuzz"

for t in "${targets[@]}"; do
    if [ ! -x "$bin/fuzz_$t" ]; then
        log "no fuzz target $bin/fuzz_$t: build the host preset first (scripts/test.sh)"
        exit 1
    fi
done

rm -rf "$work/seeds" "$work/corpus"
mkdir -p "$work"
python3 "$REELHAWK_ROOT/tests/fuzz/make_seeds.py" "$work/seeds" || exit 1

large_seconds=$((seconds / 4))
[ "$large_seconds" -lt 1 ] && large_seconds=1
small_seconds=$((seconds - large_seconds))
[ "$small_seconds" -lt 1 ] && small_seconds=1

# fuzz TARGET STAGE SECONDS CORPUS_DIRS...
fuzz() {
    local t="$1" stage="$2" time="$3"
    shift 3
    mkdir -p "$work/corpus/$t-$stage" "$work/artifacts/$t"
    "$bin/fuzz_$t" -max_len=1200000 -max_total_time="$time" -timeout=120 \
        -print_final_stats=1 -artifact_prefix="$work/artifacts/$t/" \
        "$work/corpus/$t-$stage" "$@" >"$work/$t-$stage.log" 2>&1
}

run_one() {
    local t="$1"
    rm -f "$work/$t-large.log" "$work/$t-small.log"
    fuzz "$t" large "$large_seconds" "$work/seeds/$t/large" "$work/seeds/$t/small" || return
    fuzz "$t" small "$small_seconds" "$work/seeds/$t/small"
}

executions() {
    sed -n 's/^stat::number_of_executed_units: *//p' "$work/$1.log" 2>/dev/null | tail -n 1
}

report() {
    local t="$1" code="$2" large small log
    large=$(executions "$t-large")
    small=$(executions "$t-small")
    if [ "$code" -eq 0 ] && [ -n "$large" ] && [ -n "$small" ]; then
        printf 'fuzz_%s: %d executions in %d s (%d with megabyte seeds), clean\n' \
            "$t" $((large + small)) "$seconds" "$large"
    else
        log="$work/$t-small.log"
        [ -f "$log" ] || log="$work/$t-large.log"
        printf 'fuzz_%s: FAILED (exit %s); log %s, failing input in %s\n' \
            "$t" "$code" "$log" "$work/artifacts/$t/"
        grep -m 5 -E 'check failed|ERROR|SUMMARY' "$log" | sed 's/^/    /'
    fi
}

status=0
parallel=${REELHAWK_FUZZ_JOBS:-$(nproc)}
[ "$parallel" -gt 2 ] && parallel=2
[ "$parallel" -lt 1 ] && parallel=1
i=0
while [ $i -lt ${#targets[@]} ]; do
    batch=("${targets[@]:$i:$parallel}")
    pids=()
    for t in "${batch[@]}"; do
        run_one "$t" &
        pids+=($!)
    done
    for k in "${!batch[@]}"; do
        wait "${pids[$k]}"
        code=$?
        report "${batch[$k]}" "$code"
        [ "$code" -eq 0 ] || status=1
    done
    i=$((i + parallel))
done
exit $status
