#!/usr/bin/env bash
# scripts/with-wine.sh ended by SIGTERM while its command runs (as a CI runner ends a job): nothing
# it started may be left, neither the command, the display, the relay with its Chromium, nor the
# Wine server with Wine's services, and the relay's profile folder is gone.
#
#   with_wine_cleanup_test.sh ROOT BUILD
#
# BUILD is a folder of the test's own: its Wine prefix is made at the first run and kept (never
# the test run's prefix, whose server this test ends).
set -u
root=$1
export REELHAWK_BUILD=$2
mkdir -p "$REELHAWK_BUILD"
prefix="$REELHAWK_BUILD/wineprefix"
work=$(mktemp -d)
export TMPDIR="$work"
script=
trap '[ -n "$script" ] && kill "$script" 2>/dev/null; rm -rf "$work"' EXIT

# Every process below PID, PID included: the scripts' own walk of the process tree.
REELHAWK_ROOT=$root source "$root/scripts/lib.sh"
tree_of() { reelhawk_process_tree "$1"; }
# The processes of the test's Wine prefix (the server and Wine's services are not below the script).
in_prefix() {
    grep -lzx "WINEPREFIX=$prefix" /proc/[0-9]*/environ 2>/dev/null | cut -d/ -f3
}
describe() {
    local pid
    for pid in "$@"; do
        [ -r "/proc/$pid/stat" ] || continue
        printf '%s %s %s\n' "$pid" "$(cut -d' ' -f22 "/proc/$pid/stat" 2>/dev/null)" \
            "$(tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null | cut -c1-1000)"
    done
}

env -u DISPLAY -u WINEPREFIX -u REELHAWK_STANDIN_CHROMIUM -u REELHAWK_CHROMIUM_RELAY_PID \
    bash "$root/scripts/with-wine.sh" sleep 60 </dev/null >"$work/output" 2>&1 &
script=$!

# Up to two minutes for the first run, which makes the prefix.
command_pid=
for _ in $(seq 1 1200); do
    kill -0 "$script" 2>/dev/null || break
    command_pid=$(ps -o pid=,args= --ppid "$script" | awk '$2 == "sleep" && $3 == "60" { print $1 }')
    [ -n "$command_pid" ] && break
    sleep 0.1
done
if [ -z "$command_pid" ]; then
    echo "FAILED: with-wine.sh did not get to run its command:"
    cat "$work/output"
    exit 1
fi

describe $(tree_of "$script") $(in_prefix) | sort -u >"$work/started"
failures=0
for what in Xvfb chromium_relay.py "chromium[^ ]* .*--headless" wineserver "sleep 60"; do
    if ! grep -Eq -- "$what" "$work/started"; then
        echo "FAILED: no $what among what with-wine.sh started:"
        cat "$work/started"
        failures=$((failures + 1))
    fi
done
profiles=$(find "$work" -maxdepth 1 -name 'reelhawk-chromium-*' | wc -l)
[ "$profiles" -eq 1 ] || { echo "FAILED: $profiles relay profile folders while it runs"; failures=$((failures + 1)); }

kill -TERM "$script"
for _ in $(seq 1 300); do
    kill -0 "$script" 2>/dev/null || break
    sleep 0.1
done
if kill -0 "$script" 2>/dev/null; then
    echo "FAILED: with-wine.sh was still there 30 s after SIGTERM"
    failures=$((failures + 1))
else
    wait "$script"
    status=$?
    [ "$status" -eq 143 ] || { echo "FAILED: with-wine.sh ended with $status, expected 143"; failures=$((failures + 1)); }
fi
script=

# What it started may take a moment to go; a process counts as left only if the same one (same id
# and start time) is still there after ten seconds.
left=
for _ in $(seq 1 100); do
    left=$( (describe $(cut -d' ' -f1 "$work/started") | sort | comm -12 - "$work/started"
        describe $(in_prefix)) | sort -u)
    [ -z "$left" ] && break
    sleep 0.1
done
if [ -n "$left" ]; then
    echo "FAILED: left running after SIGTERM (pid, start time, command):"
    echo "$left"
    kill -KILL $(echo "$left" | cut -d' ' -f1) 2>/dev/null
    failures=$((failures + 1))
fi
if find "$work" -maxdepth 1 -name 'reelhawk-chromium-*' | grep -q .; then
    echo "FAILED: the relay's profile folder is left"
    failures=$((failures + 1))
fi

[ $failures -eq 0 ] && echo "with-wine.sh ended by SIGTERM: nothing it started is left"
exit $((failures > 0))
