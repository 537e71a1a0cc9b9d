#!/usr/bin/env bash
# How ctest runs a Windows program: under Wine, with the program's output passed through.
#
# Once in a long while Wine fails to start a program at all: it ends within milliseconds with a
# non-zero code and the program has printed nothing, not even the test framework's first lines.
# Such a start is tried once more and said on stderr (and, when REELHAWK_WINE_RESTARTS names a
# file, noted there for the end of the test run, with what Wine itself said on stderr, which is
# the only clue to why). A program that printed anything, ran for a while, or fails the same way
# twice keeps its result.
#
# A program that has printed its last line (GoogleTest's summary) but is still there a few seconds
# later (REELHAWK_WINE_LINGER_SECONDS, 5) is said on stderr at once, with the processes that still
# hold its output and what the program's threads wait in; it is left alone, and ctest's time-out
# decides. The run is over when the program has ended, even if another process still holds its
# output open: when the Wine server was ended during a test run, the next program starts a new one
# and Wine's services with it, and they keep that program's stderr for as long as they run, which
# with other programs starting all the time is to the end of the run. That is said on stderr, and
# noted in REELHAWK_WINE_NOTES when it names a file.
set -u

linger_seconds=${REELHAWK_WINE_LINGER_SECONDS:-5}
dir=$(mktemp -d "${TMPDIR:-/tmp}/reelhawk-wine.XXXXXX") || exit 1
out="$dir/out" err="$dir/err"
mkfifo "$dir/stdout" "$dir/stderr" || { rm -rf "$dir"; exit 1; }
readers=() watcher= program=
# Not a trap on EXIT: a child forked for a background command runs that trap too when a signal
# comes before it has started what it was forked for.
finish() {
    [ -n "$program" ] && kill "$program" 2>/dev/null  # only when this script is ended itself
    [ -n "$watcher" ] && kill "$watcher" 2>/dev/null
    [ ${#readers[@]} -gt 0 ] && kill "${readers[@]}" 2>/dev/null
    rm -rf "$dir"
    exit "$1"
}
trap 'finish 129' HUP
trap 'finish 130' INT
trap 'finish 143' TERM

note() { echo "[reelhawk] $*" >&2; }

# "PID NAME" of each process other than the readers that has the program's output open.
output_holders() {
    local fd pid
    for fd in $(find /proc/[0-9]*/fd -maxdepth 1 \( -lname "$dir/stdout" -o -lname "$dir/stderr" \) \
        2>/dev/null); do
        pid=${fd#/proc/}
        echo "${pid%%/*}"
    done | sort -un | while read -r pid; do
        case " ${readers[*]} " in *" $pid "*) continue ;; esac
        echo "$pid $(tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null | cut -c1-120 | sed 's/ *$//')"
    done
}

# What each thread of PID waits in, as the kernel says: "tid:state:wait ...".
threads_of() {
    ps -L -o tid=,stat=,wchan:30= -p "$1" 2>/dev/null | awk '{ printf "%s%s:%s:%s", sep, $1, $2, $3; sep = " " }'
}

# Says once, while the program still runs, that it printed its last line some seconds ago.
watch_for_linger() {
    local program=$1 name=$2 printed_at= sleeper=
    trap '[ -n "$sleeper" ] && kill "$sleeper" 2>/dev/null; exit 0' TERM
    while kill -0 "$program" 2>/dev/null; do
        sleep 1 &
        sleeper=$!
        wait "$sleeper"
        sleeper=
        if [ -z "$printed_at" ]; then
            grep -q '^\[==========\] .* ran\.' "$out" 2>/dev/null && printed_at=$SECONDS
        elif [ $((SECONDS - printed_at)) -ge "$linger_seconds" ] && kill -0 "$program" 2>/dev/null; then
            note "$name printed its last line about $((SECONDS - printed_at)) s ago but has not" \
                "ended (left to ctest's time-out). Its process $program, threads (id:state:wait):" \
                "$(threads_of "$program"). Holding its output open:" \
                "$(output_holders | paste -sd';' | sed 's/;/; /g')"
            return 0
        fi
    done
}

# Waits for the readers of the output to end, which they do as soon as the last process holding
# the output has ended. A process that holds it long after the program has ended is not the
# program: say who, and end the readers (what the program wrote has long been read).
finish_output() {
    local name=$1 status=$2 holders timer pid
    local -a running
    sleep 2 &
    timer=$!
    while kill -0 "$timer" 2>/dev/null; do
        running=()
        for pid in "${readers[@]}"; do
            kill -0 "$pid" 2>/dev/null && running+=("$pid")
        done
        [ ${#running[@]} -eq 0 ] && break
        wait -n "${running[@]}" "$timer"
    done
    kill "$timer" 2>/dev/null
    wait "$timer" 2>/dev/null
    running=()
    for pid in "${readers[@]}"; do
        kill -0 "$pid" 2>/dev/null && running+=("$pid")
    done
    if [ ${#running[@]} -gt 0 ]; then
        holders=$(output_holders | paste -sd';' | sed 's/;/; /g')
        if [ -n "$holders" ]; then
            local said="$name ended with code $status, but its output was still held open by: $holders"
            note "$said (a Wine server or service started by the program); not waiting for them"
            [ -n "${REELHAWK_WINE_NOTES:-}" ] && echo "$said" >>"$REELHAWK_WINE_NOTES"
        fi
    fi
    kill "${readers[@]}" 2>/dev/null
    wait "${readers[@]}" 2>/dev/null
    readers=()
}

for attempt in 1 2; do
    : >"$out"
    : >"$err"
    started=$(date +%s%N)
    # Output and stderr pass through as they come, and are kept.
    tee "$out" <"$dir/stdout" &
    readers=($!)
    tee "$err" <"$dir/stderr" >&2 &
    readers+=($!)
    wine "$@" <&0 >"$dir/stdout" 2>"$dir/stderr" &
    program=$!
    watch_for_linger "$program" "$(basename "$1")" &
    watcher=$!
    wait "$program"
    status=$?
    program=
    elapsed_ms=$((($(date +%s%N) - started) / 1000000))
    kill "$watcher" 2>/dev/null
    wait "$watcher" 2>/dev/null
    watcher=
    finish_output "$(basename "$1")" "$status"
    if [ "$status" -eq 0 ] || [ -s "$out" ] || [ "$elapsed_ms" -ge 5000 ] || [ "$attempt" -eq 2 ]; then
        finish "$status"
    fi
    note="wine ended $(basename "$1") with code $status after $elapsed_ms ms before it printed anything; starting it once more"
    echo "[reelhawk] $note" >&2
    if [ -n "${REELHAWK_WINE_RESTARTS:-}" ]; then
        said=$(head -c 2000 "$err" | tr '\n' ' ')
        echo "$note: $*; wine said: ${said:-nothing}" >>"$REELHAWK_WINE_RESTARTS"
    fi
done
