#!/usr/bin/env bash
# The script ctest runs Windows programs through, checked with a pretend wine on PATH that fails
# or succeeds as each case asks.
set -u
emulator="$1"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/bin"
failures=0

# The pretend wine: FAKE_PLAN holds one line a start, "code words..." (words printed, if any).
cat >"$work/bin/wine" <<'FAKE'
#!/usr/bin/env bash
n=$(( $(cat "$FAKE_COUNT" 2>/dev/null || echo 0) + 1 ))
echo "$n" >"$FAKE_COUNT"
echo "$*" >>"$FAKE_ARGS"
read -r code words < <(sed -n "${n}p" "$FAKE_PLAN")
[ -n "$words" ] && echo "$words"
[ "$n" = 1 ] && [ -n "${FAKE_STDERR:-}" ] && echo "$FAKE_STDERR" >&2
echo "$$" >"$FAKE_PID"
# A process that keeps stderr open after the program, as a Wine server started by it does.
if [ -n "${FAKE_HOLDER:-}" ]; then
    sleep "$FAKE_HOLDER" </dev/null >/dev/null &
    echo "$!" >"$FAKE_HOLDER_PID"
fi
[ -n "${FAKE_SLEEP:-}" ] && sleep "$FAKE_SLEEP"
exit "$code"
FAKE
chmod +x "$work/bin/wine"

# run NAME PLAN... : runs the emulator once; sets out, status, starts, restarts, seconds (until its
# output closed, as ctest waits) and program (the pretend wine's process id).
run() {
    local name=$1
    shift
    printf '%s\n' "$@" >"$work/plan"
    rm -f "$work/count" "$work/args" "$work/restarts" "$work/notes"
    local started=$SECONDS stderr_reader
    # stderr through a pipe whose end is waited for, as ctest waits for the program's output.
    rm -f "$work/stderr"
    mkfifo "$work/stderr"
    cat "$work/stderr" >"$work/err" &
    stderr_reader=$!
    out=$(PATH="$work/bin:$PATH" FAKE_PLAN="$work/plan" FAKE_COUNT="$work/count" \
        FAKE_ARGS="$work/args" FAKE_PID="$work/pid" FAKE_HOLDER_PID="$work/holder" \
        REELHAWK_WINE_RESTARTS="$work/restarts" REELHAWK_WINE_NOTES="$work/notes" \
        bash "$emulator" prog.exe --gtest_filter="A.B" 2>"$work/stderr")
    status=$?
    wait "$stderr_reader"
    seconds=$((SECONDS - started))
    program=$(cat "$work/pid")
    starts=$(cat "$work/count")
    restarts=0
    [ -f "$work/restarts" ] && restarts=$(wc -l <"$work/restarts")
    current=$name
}

expect() {
    if [ "$1" != "$2" ]; then
        echo "FAILED $current: $3 is '$1', expected '$2'"
        failures=$((failures + 1))
    fi
}

run "a silent failed start is tried once more" "53" "0 [  PASSED  ] 1 test."
expect "$status" 0 "exit code"
expect "$starts" 2 "starts"
expect "$out" "[  PASSED  ] 1 test." "output"
expect "$restarts" 1 "noted restarts"
expect "$(sort -u "$work/args")" "prog.exe --gtest_filter=A.B" "arguments"
grep -q "prog.exe with code 53" "$work/err" || expect "$(cat "$work/err")" "a note" "stderr"

FAKE_STDERR="err:module:load_dll failed" run "what wine said of a failed start is noted" "53" "0 ok"
expect "$starts" 2 "starts"
grep -q "wine said: err:module:load_dll failed" "$work/restarts" ||
    expect "$(cat "$work/restarts")" "the note with wine's words" "restarts"
grep -q "err:module:load_dll failed" "$work/err" || expect "$(cat "$work/err")" "wine's words" "stderr"

run "a test that failed after printing keeps its failure" "1 [  FAILED  ] A.B"
expect "$status" 1 "exit code"
expect "$starts" 1 "starts"
expect "$restarts" 0 "noted restarts"

run "the same silent failure twice is a failure" "53" "53"
expect "$status" 53 "exit code"
expect "$starts" 2 "starts"

run "a success is never repeated" "0"
expect "$status" 0 "exit code"
expect "$starts" 1 "starts"

FAKE_SLEEP=5.2 run "a silent failure after a long run is kept" "3" "0 ok"
expect "$status" 3 "exit code"
expect "$starts" 1 "starts"
grep -q "has not ended" "$work/err" && expect "$(cat "$work/err")" "no word of a lingering program" "stderr"

# A program still there seconds after GoogleTest's last line is named while it runs, and keeps
# its own result.
REELHAWK_WINE_LINGER_SECONDS=1 FAKE_SLEEP=4 \
    run "a program that lingers after its last line is named at once" \
    "0 [==========] 1 test from 1 test suite ran. (5 ms total)"
expect "$status" 0 "exit code"
expect "$starts" 1 "starts"
[ "$seconds" -ge 4 ] || expect "$seconds s" "4 s or more" "time to the end"
expect "$(grep -c "prog.exe printed its last line about [0-9]* s ago but has not ended" "$work/err")" 1 \
    "notes of the lingering program"
grep -q "Its process $program, threads (id:state:wait): $program:" "$work/err" ||
    expect "$(cat "$work/err")" "the program's process and threads" "stderr"
grep -Eq "Holding its output open: (.*; )?$program bash " "$work/err" ||
    expect "$(cat "$work/err")" "the program among the holders" "stderr"

# A process left holding the output (a Wine server started again during the run) does not keep
# the run waiting once the program has ended; it is named.
FAKE_HOLDER=20 run "a program's output held open by another process ends with the program" \
    "0 [  PASSED  ] 1 test."
holder=$(cat "$work/holder")
kill "$holder" 2>/dev/null
expect "$status" 0 "exit code"
expect "$out" "[  PASSED  ] 1 test." "output"
[ "$seconds" -le 10 ] || expect "$seconds s" "10 s or less" "time until the output closed"
grep -q "prog.exe ended with code 0, but its output was still held open by: $holder sleep 20" \
    "$work/err" || expect "$(cat "$work/err")" "the holder named" "stderr"
grep -q "held open by: $holder sleep 20" "$work/notes" 2>/dev/null ||
    expect "$(cat "$work/notes" 2>/dev/null)" "the holder noted" "notes"

if [ $failures -eq 0 ]; then
    echo "wine emulator: all cases passed"
fi
exit $((failures > 0))
