#!/usr/bin/env bash
# Runs a test program against the whole chain on this machine: the sample video site and the
# resolver service are started here on 127.0.0.1, and the service is put behind the host of the
# program's built-in resolving page for the stand-in browser (REELHAWK_STANDIN_UPSTREAM). What the
# program (tests/e2e/chain_test.cpp) is told is in its comment. Afterwards the address it opened
# is fetched here, on Linux, and must give the sample file's bytes.
#   chain.sh <command...>
# The service is $REELHAWK_RESOLVER_BIN, else the one scripts/test.sh builds without sanitizers.
set -u
REELHAWK_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
source "$REELHAWK_ROOT/scripts/lib.sh"

: "${REELHAWK_RESOLVER_BIN:=$REELHAWK_BUILD/resolver-release/resolver/reelhawk-resolver}"
if [ ! -x "$REELHAWK_RESOLVER_BIN" ]; then
    echo "chain.sh: no resolver service at $REELHAWK_RESOLVER_BIN (scripts/test.sh builds it)" >&2
    exit 1
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/reelhawk-chain.XXXXXX")
watcher=""
finish() {
    [ -n "$watcher" ] && reelhawk_end_pid "$watcher" 1
    reelhawk_stop_resolver
    reelhawk_stop_sample_site
    rm -rf "$work"
}
trap finish EXIT
trap 'exit 1' INT TERM HUP

export REELHAWK_RESOLVER_LOG="$work/resolver.log" REELHAWK_RESOLVER_ACCESS_LOG="$work/access.log"
reelhawk_start_sample_site "$work/site" || exit 1
reelhawk_start_resolver --allow-address 127.0.0.1/32 || exit 1
reelhawk_route_resolver "$REELHAWK_RESOLVER_PORT"
for page in one two hls none hotlink dash; do
    python3 "$REELHAWK_ROOT/scripts/sample_site.py" expect "$REELHAWK_SAMPLE_DIR" "$page.html" \
        >"$work/expect-$page.html"
done
export REELHAWK_CHAIN_SITE="$REELHAWK_SAMPLE_URL" REELHAWK_CHAIN_DIR="$work"
export REELHAWK_CHAIN_OPENED="$work/opened" REELHAWK_CHAIN_STOP="$work/stop"

# An address the service gave for a page, fetched at once (a later test kills the service): the
# protected file's bytes, or a merged file with picture and sound. The outcome goes to
# checked-<page>.
check_opened() {
    local page=$1 opened file streams
    opened=$(cat "$work/opened-$page")
    file=$(head -n 1 "$work/expect-$page")
    if [ "$page" = dash.html ]; then
        curl -sf --max-time 30 -o "$work/merged.mp4" "$opened" &&
            streams=$(ffprobe -v error -show_entries stream=codec_type -of csv=p=0 \
                "$work/merged.mp4" | sort | tr '\n' ' ')
        if [ "${streams:-}" = "audio video " ]; then
            echo "the opened address $opened gives one file with picture and sound"
        else
            echo "the opened address $opened does not give picture and sound: ${streams:-}"
        fi
    elif curl -sf --max-time 10 "$opened" | cmp -s - "$REELHAWK_SAMPLE_DIR$file"; then
        echo "the opened address $opened gives the sample file's bytes"
    else
        echo "the opened address $opened does not give the sample file's bytes"
    fi
}

# The service is killed when the test asks (and the file deleted once it has gone), and what it
# gave is checked as soon as the test has opened it; bounded by the test's own time limit.
(
    for _ in $(seq 1 3000); do
        for opened_file in "$work"/opened-*; do
            page=${opened_file##*/opened-}
            if [ -e "$opened_file" ] && [ ! -e "$work/checked-$page" ]; then
                check_opened "$page" >"$work/checked-$page.new"
                mv "$work/checked-$page.new" "$work/checked-$page"
            fi
        done
        if [ -e "$REELHAWK_CHAIN_STOP" ]; then
            kill -KILL "$REELHAWK_RESOLVER_PID"  # gone at once, as after a crash
            rm -f "$REELHAWK_CHAIN_STOP"
            exit 0
        fi
        sleep 0.1
    done
) &
watcher=$!

"$@"
status=$?

if [ -s "$REELHAWK_CHAIN_OPENED" ]; then
    opened=$(cat "$REELHAWK_CHAIN_OPENED")
    if curl -sf --max-time 10 "$opened" | cmp -s - "$REELHAWK_SAMPLE_DIR/files/${opened##*/}"; then
        echo "the opened address $opened gives the sample file's bytes"
    else
        echo "the opened address $opened does not give the sample file's bytes" >&2
        status=1
    fi
elif [ $status -eq 0 ]; then
    echo "the test program opened no address" >&2
    status=1
fi
# What the service's addresses gave, checked while it ran.
for checked in "$work"/checked-*; do
    [ -e "$checked" ] || continue
    cat "$checked"
    grep -q "^the opened address .* gives " "$checked" || status=1
done
if [ $status -ne 0 ]; then
    echo "--- the resolver service's messages and requests:"
    cat "$REELHAWK_RESOLVER_LOG" "$REELHAWK_RESOLVER_ACCESS_LOG"
fi
exit $status
