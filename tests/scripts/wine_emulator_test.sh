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
[ -n "${FAKE_SLEEP:-}" ] && sleep "$FAKE_SLEEP"
exit "$code"
FAKE
chmod +x "$work/bin/wine"

# run NAME PLAN... : runs the emulator once; sets out, status, starts, restarts.
run() {
    local name=$1
    shift
    printf '%s\n' "$@" >"$work/plan"
    rm -f "$work/count" "$work/args" "$work/restarts"
    out=$(PATH="$work/bin:$PATH" FAKE_PLAN="$work/plan" FAKE_COUNT="$work/count" \
        FAKE_ARGS="$work/args" REELHAWK_WINE_RESTARTS="$work/restarts" \
        bash "$emulator" prog.exe --gtest_filter="A.B" 2>"$work/err")
    status=$?
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

if [ $failures -eq 0 ]; then
    echo "wine emulator: all cases passed"
fi
exit $((failures > 0))
