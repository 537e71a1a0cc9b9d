#!/usr/bin/env bash
# Runs a test program with the Wine prefix's screen at another scale (HKCU\Control Panel\Desktop
# LogPixels, which Wine reads when a program starts), takes the pictures it asks for, and puts the
# scale back as it was, whatever happened.
#   at_dpi.sh <dpi> <picture name> <command...>
# The program asks for a picture by writing the file named by REELHAWK_PICTURE_REQUEST and waits
# until it is gone. Pictures go to $REELHAWK_ARTIFACTS (else the current folder).
#
# Only programs started while the scale is changed see it. Every test that makes windows holds the
# "desktop" lock, as this one does, so none of them runs meanwhile; the tests that may run beside
# it (texts, automation, the document model) do not depend on the scale.
set -u
dpi=$1
picture="${REELHAWK_ARTIFACTS:-$PWD}/$2"
shift 2
key='HKCU\Control Panel\Desktop'
# Noted in the prefix until it is put back, so that the scripts put it back after a run that was
# killed before this script could (scripts/lib.sh).
note="$WINEPREFIX/reelhawk-scale-changed"

previous=$(wine reg query "$key" /v LogPixels </dev/null 2>/dev/null | tr -d '\r' |
    awk '$1 == "LogPixels" { print $3 }')
restore() {
    if [ -n "$previous" ]; then
        wine reg add "$key" /v LogPixels /t REG_DWORD /d "$((previous))" /f </dev/null >/dev/null 2>&1
    else
        wine reg delete "$key" /v LogPixels /f </dev/null >/dev/null 2>&1
    fi
    rm -f "$note" "$request"
}
request=$(mktemp -u "${TMPDIR:-/tmp}/reelhawk-picture.XXXXXX")
echo "${previous:-none}" >"$note"
trap restore EXIT
trap 'exit 1' INT TERM HUP
wine reg add "$key" /v LogPixels /t REG_DWORD /d "$dpi" /f </dev/null >/dev/null 2>&1 || exit 1

mkdir -p "$(dirname "$picture")"
REELHAWK_PICTURE_REQUEST="$request" "$@" &
program=$!
while kill -0 "$program" 2>/dev/null; do
    if [ -e "$request" ]; then
        import -window root "$picture" && echo "picture at $dpi DPI: $picture"
        rm -f "$request"
    fi
    sleep 0.2
done
wait "$program"
