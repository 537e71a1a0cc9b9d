#!/usr/bin/env bash
# Builds Reelhawk and starts it under Wine, in the private prefix with the stand-in browser and the
# demo resolver site.
#
# With a display (DISPLAY set), the program opens on it for you to use, and the script waits until
# you close it.
#
# Without one, the program runs on a private Xvfb screen and the script does one whole request as
# a person would (types a video-page address, presses Enter, waits for the resolver, presses the
# button), prints the addresses the program lists, saves a picture of the window with the list
# filled, and closes the program with Esc. The address typed is $REELHAWK_VIDEO_PAGE (default: a
# demo address). What it leaves in $REELHAWK_BUILD/artifacts:
#   reelhawk-harvest.png         the window with the list filled
#   reelhawk-harvest-screen.png  the whole screen at that moment
#   harvest-addresses.txt        the listed addresses, one per line
#   standin.log                  what the stand-in browser was asked to do
set -uo pipefail
REELHAWK_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$REELHAWK_ROOT/scripts/lib.sh"
cd "$REELHAWK_ROOT"
reelhawk_stop_all_on_exit

reelhawk_ensure_packages || exit 1
reelhawk_run cmake --preset windows -B "$REELHAWK_BUILD/windows" >/dev/null &&
    reelhawk_run cmake --build "$REELHAWK_BUILD/windows" -j "$(nproc)" || exit 1

exe="$REELHAWK_BUILD/windows/app/reelhawk.exe"
driver="$REELHAWK_BUILD/windows/tests/e2e/reelhawk_driver.exe"
if [ ! -f "$exe" ]; then
    log "reelhawk.exe is not built"
    exit 1
fi

# Your own display: just the program, with Wine's own browser for the addresses it opens.
if [ -n "${DISPLAY:-}" ]; then
    reelhawk_start_wine
    reelhawk_shell_handler browser
    [ "${REELHAWK_STANDIN_ENGINE:-}" = chromium ] && reelhawk_start_chromium
    reelhawk_run wine "$exe"
    status=$?
    reelhawk_stop_chromium
    reelhawk_stop_wine
    exit $status
fi

# No display: one whole request on a private screen.
artifacts="$REELHAWK_BUILD/artifacts"
mkdir -p "$artifacts"
export REELHAWK_STANDIN_LOG="$artifacts/standin.log"
export REELHAWK_SHELL_RECORD="$artifacts/shell-requests.txt"
rm -f "$REELHAWK_STANDIN_LOG" "$REELHAWK_SHELL_RECORD"
address="${REELHAWK_VIDEO_PAGE:-http://v.youku.com/v_show/id_XNDk2MTQ3MjA0.html}"

reelhawk_start_display || exit 1
reelhawk_start_wine
# REELHAWK_STANDIN_ENGINE=chromium: the pages are loaded, laid out and scripted by Chromium.
[ "${REELHAWK_STANDIN_ENGINE:-}" = chromium ] && { reelhawk_start_chromium || exit 1; }

wine "$exe" </dev/null &
program=$!
log "Reelhawk started on the private screen $DISPLAY; typing $address"
wine "$driver" harvest "$address" </dev/null >"$artifacts/harvest-addresses.txt"
harvested=$?

# The picture: the whole screen, and the window cut out of it.
shot="$artifacts/reelhawk-harvest.png"
import -window root "$artifacts/reelhawk-harvest-screen.png"
window=$(xdotool search --name '^Reelhawk 1\.0$' 2>/dev/null | head -n 1)
if [ -n "$window" ]; then
    geometry=$(xwininfo -id "$window" | awk '
        /Absolute upper-left X/ { x = $NF } /Absolute upper-left Y/ { y = $NF }
        /Width:/ { w = $NF } /Height:/ { h = $NF } END { printf "%dx%d+%d+%d", w, h, x, y }')
    convert "$artifacts/reelhawk-harvest-screen.png" -crop "$geometry" +repage "$shot"
else
    cp "$artifacts/reelhawk-harvest-screen.png" "$shot"
fi

wine "$driver" close </dev/null
wait "$program"
status=$?

echo
if [ $harvested -eq 0 ]; then
    echo "Reelhawk listed these video addresses for $address:"
    sed 's/^/  /' "$artifacts/harvest-addresses.txt"
else
    echo "Reelhawk listed no video addresses for $address (see $REELHAWK_STANDIN_LOG)."
fi
echo "Picture of the window: $shot"
echo "Reelhawk ended with exit code $status."

reelhawk_stop_chromium
reelhawk_stop_wine
reelhawk_stop_display
[ $harvested -eq 0 ] && exit $status || exit 1
