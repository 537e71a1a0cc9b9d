#!/usr/bin/env bash
# Starts reelhawk.exe under Wine, takes a picture of the X screen once its window is up, checks
# that the window's area holds a drawn window, and closes the program with Esc.
#   screenshot.sh <reelhawk.exe> <program_child.exe> <build dir>
# The picture goes to $REELHAWK_ARTIFACTS (else the build dir) as reelhawk-window.png.
set -u
exe=$1
helper=$2
out=${REELHAWK_ARTIFACTS:-$3}
shot="$out/reelhawk-window.png"
mkdir -p "$out"
if [ -z "${DISPLAY:-}" ]; then
    echo "no X display"
    exit 1
fi

wine "$exe" </dev/null >/dev/null 2>&1 &
pid=$!
window=""
for _ in $(seq 1 150); do
    window=$(xdotool search --name '^Reelhawk 1\.0$' 2>/dev/null | head -n 1)
    [ -n "$window" ] && break
    sleep 0.2
done
if [ -z "$window" ]; then
    echo "the window did not appear"
    kill "$pid" 2>/dev/null
    exit 1
fi
sleep 2 # let it finish painting
import -window root "$shot"
wine "$helper" close-reelhawk - </dev/null >/dev/null 2>&1
wait "$pid"
status=$?
echo "picture: $shot; reelhawk.exe exit code $status"
[ "$status" -eq 0 ] || exit 1

# The window's rectangle, centred on the screen, must be drawn: hardly any of the black root
# window left in it, and more than a handful of colours (frame, caption, boxes, text).
read -r width height < <(identify -format '%w %h' "$shot")
left=$(((width - 493) / 2))
top=$(((height - 231) / 2))
area="493x231+$left+$top"
colours=$(convert "$shot" -crop "$area" +repage -format '%k' info:)
black=$(convert "$shot" -crop "$area" +repage -fill white +opaque black \
    -format '%[fx:1-mean]' info:)
echo "window area $area: $colours colours, black share $black"
[ "$colours" -ge 5 ] || exit 1
awk -v b="$black" 'BEGIN { exit !(b < 0.05) }' || exit 1
