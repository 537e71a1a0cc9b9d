#!/usr/bin/env bash
# Builds Reelhawk (the program, the stand-in browser and the driver, not the tests) and starts it
# under Wine, in the private prefix with the stand-in browser.
#
#   scripts/run.sh             the offline demo: the demo resolver site plays the resolving page
#   scripts/run.sh ADDRESS     the whole chain live: our resolver service (resolver/) resolves the
#                              video page ADDRESS (this needs the internet)
#   scripts/run.sh --sample    the whole chain against the sample video site, on this machine only
#
# The demo, with a display (DISPLAY set): the program opens on it for you to use, and the script
# waits until you close it.
#
# Without a display, and always for the chain: the program runs on a private Xvfb screen and the
# script does one whole request as a person would (types a video-page address, presses Enter,
# waits for the resolver, presses the button), prints the addresses the program lists, saves a
# picture of the window with the list filled, and closes the program with Esc. The demo's address
# is $REELHAWK_VIDEO_PAGE (default: a demo address).
#
# The chain: the resolver service is built (without sanitizers) and started on 127.0.0.1, and the
# stand-in browser puts it behind the host of the program's built-in resolving page; the program is
# the one you get, going to its own address. It runs on Chromium. After the list it double-clicks
# the first address; the shell's "open" is the tests' recorder, which shows what would be opened.
# REELHAWK_RESOLVER_OPTS adds options to the service's command line (e.g. --python, for a newer
# yt-dlp than Debian's).
# --sample does this for each page of the sample site (scripts/sample_site.py: one video, an HLS
# stream, two videos, none; a file its host gives only with the site's Referer, which the service
# lists as its own tunnel address; picture and sound apart, which it lists merged first), checks
# that each lists exactly its files, double-clicks the first address of the one-video page, the
# Referer page and the DASH page and checks that what the address gives is the file (the merged
# file: picture and sound), and exits non-zero when anything differs.
#
# What it leaves in $REELHAWK_BUILD/artifacts:
#   reelhawk-harvest.png         the window with the list filled
#   reelhawk-harvest-merged.png  (--sample) the window with the DASH page's list, merged file first
#   reelhawk-harvest-screen.png  the whole screen at that moment
#   harvest-addresses.txt        the listed addresses, one per line
#   standin.log                  what the stand-in browser was asked to do
#   resolver.log, resolver-access.log   the resolver service's messages and requests (the chain)
set -uo pipefail
REELHAWK_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$REELHAWK_ROOT/scripts/lib.sh"
cd "$REELHAWK_ROOT"
reelhawk_stop_all_on_exit

usage() {
    echo "usage: scripts/run.sh [ADDRESS | --sample]" >&2
    exit 2
}
mode=demo
address="${REELHAWK_VIDEO_PAGE:-http://v.youku.com/v_show/id_XNDk2MTQ3MjA0.html}"
case "${1:-}" in
'') ;;
--sample) mode=sample ;;
-h | --help)
    sed -n '2,/^set -uo/p' "$0" | sed '$d' | cut -c3-
    exit 0
    ;;
-*) usage ;;
*)
    mode=live
    address=$1
    ;;
esac
[ $# -le 1 ] || usage

# What this run needs, not what the tests need: the chain adds the resolver and Chromium.
reelhawk_ensure_packages "$([ "$mode" = demo ] && echo demo || echo chain)" || exit 1
# REELHAWK_RUN_BUILT=1 (the test command, which has just built everything): no build.
if [ "${REELHAWK_RUN_BUILT:-}" != 1 ]; then
    # Only what runs: the program, the stand-in browser, the driver that makes the request and the
    # shell's recorder it registers; the test programs are the test command's.
    reelhawk_run cmake --preset windows -B "$REELHAWK_BUILD/windows" >/dev/null &&
        reelhawk_run cmake --build "$REELHAWK_BUILD/windows" -j "$(nproc)" --target reelhawk \
            reelhawk_standin reelhawk_driver reelhawk_shell_recorder || exit 1
    if [ "$mode" != demo ]; then
        log "building the resolver service"
        reelhawk_build_resolver || exit 1
    fi
fi
REELHAWK_RESOLVER_BIN="$REELHAWK_BUILD/resolver-release/resolver/reelhawk-resolver"

exe="$REELHAWK_BUILD/windows/app/reelhawk.exe"
driver="$REELHAWK_BUILD/windows/tests/e2e/reelhawk_driver.exe"
if [ ! -f "$exe" ]; then
    log "reelhawk.exe is not built"
    exit 1
fi

# Your own display: just the program, with Wine's own browser for the addresses it opens.
if [ "$mode" = demo ] && [ -n "${DISPLAY:-}" ]; then
    reelhawk_start_wine
    reelhawk_shell_handler browser
    [ "${REELHAWK_STANDIN_ENGINE:-}" = chromium ] && reelhawk_start_chromium
    reelhawk_run wine "$exe"
    status=$?
    reelhawk_stop_chromium
    reelhawk_stop_wine
    exit $status
fi
unset DISPLAY  # the whole request on a private screen, never with your mouse

artifacts="$REELHAWK_BUILD/artifacts"
mkdir -p "$artifacts"
export REELHAWK_STANDIN_LOG="$artifacts/standin.log"
export REELHAWK_SHELL_RECORD="$artifacts/shell-requests.txt"
export REELHAWK_RESOLVER_LOG="$artifacts/resolver.log"
export REELHAWK_RESOLVER_ACCESS_LOG="$artifacts/resolver-access.log"
rm -f "$REELHAWK_STANDIN_LOG" "$REELHAWK_SHELL_RECORD" "$artifacts/harvest-addresses.txt"

# The chain: the resolver service behind the program's resolving page, on Chromium.
pages=("$address")
if [ "$mode" != demo ]; then
    export REELHAWK_STANDIN_ENGINE=chromium
    resolver_options=()
    if [ "$mode" = sample ]; then
        reelhawk_start_sample_site || exit 1
        pages=()
        for page in one two hls none hotlink dash; do
            pages+=("${REELHAWK_SAMPLE_URL}$page.html")
        done
        # The sample site lives on this machine, which the service refuses unless told.
        resolver_options=(--allow-address 127.0.0.1/32)
    fi
    # Your own options for the service, e.g. REELHAWK_RESOLVER_OPTS="--python ~/venv/bin/python".
    read -r -a more_options <<<"${REELHAWK_RESOLVER_OPTS:-}"
    resolver_options+=("${more_options[@]}")
    reelhawk_start_resolver "${resolver_options[@]}" || exit 1
    reelhawk_route_resolver "$REELHAWK_RESOLVER_PORT"
    log "the resolver service listens on 127.0.0.1:$REELHAWK_RESOLVER_PORT, behind" \
        "$(reelhawk_resolver_host) for the stand-in browser"
fi

reelhawk_start_display || exit 1
reelhawk_start_wine
# REELHAWK_STANDIN_ENGINE=chromium: the pages are loaded, laid out and scripted by Chromium.
[ "${REELHAWK_STANDIN_ENGINE:-}" = chromium ] && { reelhawk_start_chromium || exit 1; }

# The picture: the whole screen, and the window cut out of it (into the file named, by default
# reelhawk-harvest.png).
shot="$artifacts/reelhawk-harvest.png"
take_picture() {
    local shot=${1:-$shot}
    import -window root "$artifacts/reelhawk-harvest-screen.png"
    local window geometry
    window=$(xdotool search --name '^Reelhawk 1\.0$' 2>/dev/null | head -n 1)
    if [ -n "$window" ]; then
        geometry=$(xwininfo -id "$window" | awk '
            /Absolute upper-left X/ { x = $NF } /Absolute upper-left Y/ { y = $NF }
            /Width:/ { w = $NF } /Height:/ { h = $NF } END { printf "%dx%d+%d+%d", w, h, x, y }')
        convert "$artifacts/reelhawk-harvest-screen.png" -crop "$geometry" +repage "$shot"
    else
        cp "$artifacts/reelhawk-harvest-screen.png" "$shot"
    fi
}

# The sample site's pages as the service lists them: its own files at their addresses; a file whose
# host wants the site's Referer at the service's tunnel address (/t/); picture and sound apart
# merged first (/m/), then the picture through the tunnel.
sample_listed() {
    local page=$1 listed=$2 expected service="http://127.0.0.1:$REELHAWK_RESOLVER_PORT"
    case "$page" in
    hotlink.html) expected="$service/t/" ;;
    # (The sound file, an .m4a, is not a video file the program lists.)
    dash.html) expected=$(printf '%s\n' "$service/m/" "$service/t/") ;;
    *) expected=$(python3 scripts/sample_site.py expect "$REELHAWK_SAMPLE_DIR" "$page" |
        sed "s|^/|$REELHAWK_SAMPLE_URL|") ;;
    esac
    # A service address is compared up to its token.
    if [ "$(printf '%s\n' "$listed" | sed -E 's#/([tm])/[^/]+/.*#/\1/#')" != "$expected" ]; then
        echo "  but the page shows these files:"
        printf '%s\n' "${expected:-(none)}" | sed 's/^/  /'
        return 1
    fi
}

# What an opened address gives: the very file the page shows; a merged file, picture and sound.
sample_opened() {
    local page=$1 address=$2 file
    file=$(python3 scripts/sample_site.py expect "$REELHAWK_SAMPLE_DIR" "$page" | head -n 1)
    if [ "$page" = dash.html ]; then
        curl -sf --max-time 30 -o "$artifacts/merged.mp4" "$address" &&
            [ "$(ffprobe -v error -show_entries stream=codec_type -of csv=p=0 \
                "$artifacts/merged.mp4" | sort | tr '\n' ' ')" = "audio video " ] &&
            echo "  and fetching it gives one file with picture and sound." && return 0
        echo "  but fetching it does not give one file with picture and sound."
    elif curl -sf --max-time 10 "$address" | cmp -s - "$REELHAWK_SAMPLE_DIR$file"; then
        echo "  and fetching it gives the sample file's bytes."
        return 0
    else
        echo "  but fetching it does not give the sample file's bytes."
    fi
    return 1
}

wine "$exe" </dev/null &
program=$!
failed=0
opened=""
for page in "${pages[@]}"; do
    log "Reelhawk is running on the private screen $DISPLAY; typing $page"
    listed=$(wine "$driver" harvest "$page" </dev/null)
    harvested=$?
    listed=${listed//$'\r'/}  # a Windows program's line ends
    echo
    if [ $harvested -eq 0 ]; then
        echo "Reelhawk listed these video addresses for $page:"
        printf '%s\n' "$listed" | sed 's/^/  /'
        printf '%s\n' "$listed" >>"$artifacts/harvest-addresses.txt"
    else
        echo "Reelhawk listed no video addresses for $page."
        if [ "$mode" = live ]; then
            # Why, in the service's words (its JSON answer to the same question).
            why=$(curl -s --max-time 60 -G --data-urlencode "url=$page" \
                "http://127.0.0.1:$REELHAWK_RESOLVER_PORT/api/resolve" |
                python3 -c 'import json, sys; e = json.load(sys.stdin).get("error") or {}; print(e.get("message", ""))' 2>/dev/null)
            echo "  The resolver service says: ${why:-(no answer)}"
        fi
    fi
    if [ "$mode" = sample ] && ! sample_listed "${page##*/}" "$listed"; then
        failed=1
    elif [ "$mode" != sample ] && [ $harvested -ne 0 ]; then
        failed=1
    fi
    # The first list: its picture, and (the chain) a double-click on its first address; on the
    # sample site, also on the pages whose files come through the service.
    if [ $harvested -eq 0 ] && { [ -z "$opened" ] || [[ "$page" =~ /(hotlink|dash)\.html$ ]]; }; then
        [ -z "$opened" ] && take_picture
        # The merged file first in the list, as the program shows it.
        [[ "$page" == */dash.html ]] && take_picture "$artifacts/reelhawk-harvest-merged.png"
        opened="(not asked)"
        [ "$mode" = demo ] && continue
        opened=$(wine "$driver" open 0 </dev/null)
        opened=${opened//$'\r'/}
        first=$(printf '%s\n' "$listed" | head -n 1)
        echo "A double-click on the first address asked the shell to open: ${opened:-nothing}"
        if [ "$opened" != "$first" ]; then
            failed=1
        elif [ "$mode" = sample ]; then
            sample_opened "${page##*/}" "$opened" || failed=1
        fi
    fi
done
[ -n "$opened" ] || take_picture

wine "$driver" close </dev/null
wait "$program"
status=$?

echo
echo "Picture of the window: $shot"
echo "Reelhawk ended with exit code $status."

reelhawk_stop_chromium
reelhawk_stop_wine
reelhawk_stop_display
reelhawk_stop_resolver
reelhawk_stop_sample_site
[ $failed -eq 0 ] && exit $status || exit 1
