# Shared by the run and test scripts: packages, locale, the private Wine prefix and the display.
# Source it; it expects REELHAWK_ROOT to be the checkout.

: "${REELHAWK_BUILD:=$REELHAWK_ROOT/build}"
export REELHAWK_BUILD

log() { printf '[reelhawk] %s\n' "$*" >&2; }

# What a script started goes with it, also when the script itself is ended (a CI runner's SIGTERM,
# Ctrl-C): the command it was running, Chromium, the Wine server and the display. Call it before
# starting anything; run long commands through reelhawk_run, so that a signal is acted on at once.
reelhawk_stop_all_on_exit() {
    trap reelhawk_stop_all EXIT
    trap 'exit 129' HUP
    trap 'exit 130' INT
    trap 'exit 143' TERM
}

reelhawk_stop_all() {
    local status=$?
    trap - EXIT HUP INT TERM
    reelhawk_end_command
    local pid
    for pid in ${REELHAWK_BACKGROUND_PIDS[@]+"${REELHAWK_BACKGROUND_PIDS[@]}"}; do
        reelhawk_end_tree "$pid"
    done
    reelhawk_stop_resolver
    reelhawk_stop_sample_site
    reelhawk_stop_chromium
    reelhawk_stop_wine
    reelhawk_stop_display
    exit "$status"
}

# Runs a command as a child the script waits for: bash acts on a trapped signal only once the
# foreground command has ended, which for a build or a test run is many minutes later. Its
# standard input stays the script's (a background command would get /dev/null).
reelhawk_run() {
    "$@" <&0 &
    REELHAWK_COMMAND_PID=$!
    wait "$REELHAWK_COMMAND_PID"
    local status=$?
    unset REELHAWK_COMMAND_PID
    return $status
}

# Runs a command in the background at the lowest priority (it gets only what the foreground leaves
# of the processors), with its output in the file given; its id in REELHAWK_BACKGROUND_PID. It is
# ended with the script; reelhawk_wait_background waits for it and gives its exit status.
REELHAWK_BACKGROUND_PIDS=()
reelhawk_background() {
    local output=$1
    shift
    nice -n 19 "$@" </dev/null >"$output" 2>&1 &
    REELHAWK_BACKGROUND_PID=$!
    REELHAWK_BACKGROUND_PIDS+=("$REELHAWK_BACKGROUND_PID")
}

reelhawk_wait_background() {
    local pid=$1 status kept=() other
    wait "$pid"
    status=$?
    for other in "${REELHAWK_BACKGROUND_PIDS[@]}"; do
        [ "$other" = "$pid" ] || kept+=("$other")
    done
    REELHAWK_BACKGROUND_PIDS=(${kept[@]+"${kept[@]}"})
    return $status
}

# The ids of a process and of all the processes below it, parents first.
reelhawk_process_tree() {
    ps -e -o pid=,ppid= | awk -v root="$1" '
        { children[$2] = children[$2] " " $1 }
        END {
            queue[1] = root; n = 1
            for (i = 1; i <= n; i++) {
                print queue[i]
                count = split(children[queue[i]], below, " ")
                for (j = 1; j <= count; j++) queue[++n] = below[j]
            }
        }'
}

# Ends the command reelhawk_run is running, with whatever it started that is still below it
# (ctest's test programs, their tee, a build's compilers), each by its id: TERM, then KILL for
# what is still there after five seconds.
reelhawk_end_command() {
    [ -n "${REELHAWK_COMMAND_PID:-}" ] || return 0
    reelhawk_end_tree "$REELHAWK_COMMAND_PID"
    unset REELHAWK_COMMAND_PID
}

# Ends a process and whatever is still below it, each by its id: TERM, then KILL for what is still
# there after five seconds.
reelhawk_end_tree() {
    local -a tree
    mapfile -t tree < <(reelhawk_process_tree "$1")
    kill -TERM "${tree[@]}" 2>/dev/null
    local i pid left
    for i in $(seq 1 50); do
        left=0
        for pid in "${tree[@]}"; do
            kill -0 "$pid" 2>/dev/null && left=1 && break
        done
        [ $left -eq 0 ] && break
        sleep 0.1
    done
    [ $left -eq 0 ] || kill -KILL "${tree[@]}" 2>/dev/null
    wait "$1" 2>/dev/null
}

# Debian packages a script needs, each with what proves it is there: a command on PATH, or a file
# (an absolute path, which may hold a wildcard). What is asked for grows with the argument:
#   demo    the program, the stand-in and the driver cross-compiled, Wine, a private screen
#   chain   and the resolver service (its libraries, yt-dlp) with Chromium as the engine
#   test    and everything the test command builds and runs (the host flavour, the fuzz targets,
#           the Windows tests' IDL compiler, Redis, nginx, the load generators, the package checks)
# Installs what is missing (one apt-get call) and makes the UTF-8 locales the level needs.
reelhawk_ensure_packages() {
    local level=${1:-test}
    local -a want=(
        "cmake:cmake" "make:make" "x86_64-w64-mingw32-g++-posix:g++-mingw-w64-x86-64-posix"
        "wine:wine" "/usr/lib/wine/wine64:wine64" "Xvfb:xvfb" "import:imagemagick"
        "xdotool:xdotool" "locale-gen:locales" "xwininfo:x11-utils" "python3:python3"
        # The driver's folder is configured with the tests', which wants GoogleTest's sources; the
        # stand-in speaks Chromium's JSON.
        "/usr/src/googletest/CMakeLists.txt:googletest"
        "/usr/include/nlohmann/json.hpp:nlohmann-json3-dev"
    )
    [ "${REELHAWK_STANDIN_ENGINE:-}" = chromium ] && want+=("chromium:chromium")
    if [ "$level" != demo ]; then
        want+=(
            "chromium:chromium" "clang++:clang" "pkg-config:pkgconf" "curl:curl"
            # The resolver service: HTTP (with the TLS, zlib and brotli headers its build flags
            # name), the command line, Redis's client, and yt-dlp's module for Debian's Python.
            "/usr/include/httplib.h:libcpp-httplib-dev" "/usr/include/CLI/CLI.hpp:libcli11-dev"
            "/usr/include/openssl/ssl.h:libssl-dev" "/usr/include/zlib.h:zlib1g-dev"
            "/usr/include/brotli/decode.h:libbrotli-dev"
            "/usr/include/hiredis/hiredis.h:libhiredis-dev" "yt-dlp:yt-dlp"
            # Its asynchronous front and tunnel (Beast and Asio; Debian's default Boost is 1.74),
            # and the merge of picture and sound.
            "/usr/lib/*/cmake/Boost-1.81.0/BoostConfig.cmake:libboost1.81-dev" "ffmpeg:ffmpeg"
        )
    fi
    if [ "$level" = test ]; then
        want+=(
            "x86_64-w64-mingw32-widl:mingw-w64-tools"
            "/usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a:libclang-rt-dev"
            # The resolver's Debian package: CPack finds its libraries' packages with these; its
            # check renders the manual pages and asks lintian about them.
            "dpkg-shlibdeps:dpkg-dev" "file:file" "man:man-db" "lintian:lintian"
            # The updater's check makes virtual environments (with their own pip) for its wheels.
            "/usr/lib/python3.*/ensurepip/__init__.py:python3-venv"
            # Several instances sharing state: Redis, nginx in front, and the load generators
            # of the fleet test and the benchmark.
            "redis-server:redis-server" "/usr/sbin/nginx:nginx" "hey:hey" "wrk:wrk"
        )
    fi
    local -a missing=()
    local entry proof
    for entry in "${want[@]}"; do
        proof=${entry%%:*}
        if [ "${proof:0:1}" = / ]; then
            compgen -G "$proof" >/dev/null || missing+=("${entry#*:}")
        else
            command -v "$proof" >/dev/null 2>&1 || missing+=("${entry#*:}")
        fi
    done
    [ -n "$(fc-list :lang=zh 2>/dev/null | head -n 1)" ] || missing+=(fonts-wqy-zenhei)
    if [ ${#missing[@]} -gt 0 ]; then
        log "installing: ${missing[*]}"
        export DEBIAN_FRONTEND=noninteractive
        apt-get update -qq
        apt-get install -y -qq --no-install-recommends $(printf '%s\n' "${missing[@]}" | sort -u) \
            >/dev/null || return 1
    fi
    # zh_CN for Wine's GBK code page. The tests also want de_DE, so a test can prove numbers
    # ignore a decimal comma, and en_US (code page 1252) and hi_IN (a Unicode-only locale: code
    # page 65001) for the runs that prove the program does not depend on the system's code page.
    local name generate=()
    local -a locales=(zh_CN)
    [ "$level" = test ] && locales+=(de_DE en_US hi_IN)
    for name in "${locales[@]}"; do
        if ! locale -a 2>/dev/null | grep -qi "^$name\.utf-\?8\$"; then
            sed -i "s/^# *\($name\.UTF-8 UTF-8\)/\1/" /etc/locale.gen
            grep -q "^$name\.UTF-8 UTF-8" /etc/locale.gen || echo "$name.UTF-8 UTF-8" >>/etc/locale.gen
            generate+=("$name")
        fi
    done
    if [ ${#generate[@]} -gt 0 ]; then
        log "generating the UTF-8 locales ${generate[*]}"
        locale-gen >/dev/null
    fi
}

# A display for Wine: the user's when there is one, else a private Xvfb screen of 1024 × 768.
reelhawk_start_display() {
    if [ -n "${DISPLAY:-}" ]; then
        return 0
    fi
    local n=90
    while [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ]; do n=$((n + 1)); done
    Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
    REELHAWK_XVFB_PID=$!
    export DISPLAY=":$n"
    local i
    for i in $(seq 1 50); do
        xdpyinfo >/dev/null 2>&1 && return 0
        sleep 0.1
    done
    log "Xvfb did not start on $DISPLAY"
    return 1
}

reelhawk_stop_display() {
    if [ -n "${REELHAWK_XVFB_PID:-}" ]; then
        kill "$REELHAWK_XVFB_PID" 2>/dev/null
        wait "$REELHAWK_XVFB_PID" 2>/dev/null
        unset REELHAWK_XVFB_PID DISPLAY
    fi
}

# The private prefix, its server and its background services. Never the user's ~/.wine.
reelhawk_wine_env() {
    export WINEPREFIX="$REELHAWK_BUILD/wineprefix"
    export WINEDEBUG="${WINEDEBUG:--all}"  # quiet unless asked otherwise
    # No Mono or Gecko installers (they cannot download here), and no crash debugger: a program
    # that crashes under test must end at once, not wait in winedbg until ctest's time-out.
    export WINEDLLOVERRIDES="mscoree=;mshtml=;winedbg.exe=d"
    export LANG=zh_CN.UTF-8 LC_ALL=zh_CN.UTF-8
    # The stand-in browser's local web and its call log (test and demo equipment only).
    export REELHAWK_STANDIN_WEBROOT="$REELHAWK_ROOT/standin/site"
    : "${REELHAWK_STANDIN_LOG:=$REELHAWK_BUILD/standin.log}"
    export REELHAWK_STANDIN_LOG
}

reelhawk_start_wine() {
    reelhawk_wine_env
    REELHAWK_WINE_STARTED=1  # from here on, stopping the server is ours to do
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        log "creating the Wine prefix $WINEPREFIX"
        mkdir -p "$WINEPREFIX"
        wineboot -i </dev/null >/dev/null 2>&1
        wineserver -w
    fi
    # Server and services started detached, so test processes neither wait for a lingering
    # service nor hold ctest's pipes open. The server goes to the background by itself once it
    # listens: waiting for that keeps the next program from starting a server of its own, which
    # would end with its last client and leave the persistent one unable to start.
    wineserver -p </dev/null >/dev/null 2>&1
    wine cmd /c exit </dev/null >/dev/null 2>&1
    reelhawk_register_standin
    reelhawk_shell_handler recorder
    reelhawk_cjk_fonts
    reelhawk_restore_scale
}

# A test that runs at another screen scale (tests/e2e/at_dpi.sh) puts it back when it ends; after
# a run killed before it could, its note says what the scale was.
reelhawk_restore_scale() {
    local note="$WINEPREFIX/reelhawk-scale-changed" key='HKCU\Control Panel\Desktop' previous
    [ -f "$note" ] || return 0
    previous=$(cat "$note")
    if [ "$previous" = none ]; then
        wine reg delete "$key" /v LogPixels /f </dev/null >/dev/null 2>&1
    else
        wine reg add "$key" /v LogPixels /t REG_DWORD /d "$((previous))" /f </dev/null >/dev/null 2>&1
    fi
    rm -f "$note"
}

# The faces the window asks for, SimSun ("宋体") and Dotum, are on every Windows system that shows
# Chinese, whatever its code page; here a CJK font of the system takes their place. Without it
# Wine picks a font by the code page's character set, which has no Chinese glyphs under 1252 or
# 65001.
reelhawk_cjk_fonts() {
    local key='HKCU\Software\Wine\Fonts\Replacements' face
    for face in 宋体 SimSun Dotum; do
        wine reg add "$key" /v "$face" /d "WenQuanYi Zen Hei" /f </dev/null >/dev/null 2>&1
    done
}

reelhawk_stop_wine() {
    # Only a server this script started: WINEPREFIX may be the user's own before then.
    if [ -n "${REELHAWK_WINE_STARTED:-}" ] && [ -n "${WINEPREFIX:-}" ]; then
        wineserver -k >/dev/null 2>&1
        unset REELHAWK_WINE_STARTED
    fi
    return 0
}

# Registers the stand-in browser control for the web browser control's class in the prefix.
reelhawk_register_standin() {
    local dll="$REELHAWK_BUILD/windows/standin/reelhawk_standin.dll"
    [ -f "$dll" ] || return 0
    local key='HKLM\Software\Classes\CLSID\{8856F961-340A-11D0-A96B-00C04FD705A2}\InprocServer32'
    local windll="Z:${dll//\//\\}"
    wine reg add "$key" /ve /d "$windll" /f </dev/null >/dev/null 2>&1
    wine reg add "$key" /v ThreadingModel /d Apartment /f </dev/null >/dev/null 2>&1
}

# Who opens web addresses in the prefix: "recorder" (the tests' recorder, which only appends each
# address to the file named by REELHAWK_SHELL_RECORD) or "browser" (Wine's own, the default).
reelhawk_shell_handler() {
    local command='"C:\windows\system32\winebrowser.exe" "%1"'
    local recorder="$REELHAWK_BUILD/windows/tests/e2e/reelhawk_shell_recorder.exe"
    if [ "$1" = recorder ]; then
        [ -f "$recorder" ] || return 0
        command="\"Z:${recorder//\//\\}\" \"%1\""
    fi
    local scheme
    for scheme in http https; do
        wine reg add "HKLM\\Software\\Classes\\${scheme}\\shell\\open\\command" /ve /d "$command" /f \
            </dev/null >/dev/null 2>&1
    done
}

# One headless Chromium for the whole run, behind the relay that programs under Wine reach on
# 127.0.0.1. The stand-in browser uses it when REELHAWK_STANDIN_ENGINE=chromium; the relay's address
# is in REELHAWK_STANDIN_CHROMIUM.
reelhawk_start_chromium() {
    [ -n "${REELHAWK_CHROMIUM_RELAY_PID:-}" ] && return 0
    if ! command -v chromium >/dev/null 2>&1; then
        log "chromium is not installed: the Chromium engine is not available"
        return 1
    fi
    local port_file
    port_file="$(mktemp -u "${TMPDIR:-/tmp}/reelhawk-chromium.XXXXXX")"
    python3 "$REELHAWK_ROOT/scripts/chromium_relay.py" "$port_file" </dev/null >/dev/null 2>&1 &
    REELHAWK_CHROMIUM_RELAY_PID=$!
    local i
    for i in $(seq 1 100); do
        if [ -s "$port_file" ]; then
            REELHAWK_STANDIN_CHROMIUM="$(cat "$port_file")"
            export REELHAWK_STANDIN_CHROMIUM
            rm -f "$port_file"
            return 0
        fi
        kill -0 "$REELHAWK_CHROMIUM_RELAY_PID" 2>/dev/null || break
        sleep 0.1
    done
    log "Chromium did not start"
    reelhawk_stop_chromium
    return 1
}

reelhawk_stop_chromium() {
    if [ -n "${REELHAWK_CHROMIUM_RELAY_PID:-}" ]; then
        kill "$REELHAWK_CHROMIUM_RELAY_PID" 2>/dev/null
        wait "$REELHAWK_CHROMIUM_RELAY_PID" 2>/dev/null
        unset REELHAWK_CHROMIUM_RELAY_PID REELHAWK_STANDIN_CHROMIUM
    fi
    return 0
}

# Ends a process of ours by its id: TERM, then KILL when it is still there after `grace` seconds.
reelhawk_end_pid() {
    local pid=$1 grace=${2:-10} i
    kill "$pid" 2>/dev/null || return 0
    for i in $(seq 1 $((grace * 10))); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    return 0
}

# The resolver service built without sanitizers, in the tree of its Debian package (the `resolver`
# preset, $REELHAWK_BUILD/resolver-release); its path in REELHAWK_RESOLVER_BIN.
reelhawk_build_resolver() {
    local build="$REELHAWK_BUILD/resolver-release"
    (cd "$REELHAWK_ROOT" && reelhawk_run cmake --preset resolver -B "$build" >/dev/null) &&
        reelhawk_run cmake --build "$build" -j "$(nproc)" --target reelhawk-resolver >/dev/null ||
        return 1
    REELHAWK_RESOLVER_BIN="$build/resolver/reelhawk-resolver"
}

# Starts the resolver service on 127.0.0.1 at a free port, with the options given; sets
# REELHAWK_RESOLVER_PID and REELHAWK_RESOLVER_PORT. Its messages go to $REELHAWK_RESOLVER_LOG, its
# access log to $REELHAWK_RESOLVER_ACCESS_LOG (both default to files in $REELHAWK_BUILD).
reelhawk_start_resolver() {
    : "${REELHAWK_RESOLVER_LOG:=$REELHAWK_BUILD/resolver.log}"
    : "${REELHAWK_RESOLVER_ACCESS_LOG:=$REELHAWK_BUILD/resolver-access.log}"
    "$REELHAWK_RESOLVER_BIN" --listen 127.0.0.1:0 "$@" </dev/null \
        >"$REELHAWK_RESOLVER_ACCESS_LOG" 2>"$REELHAWK_RESOLVER_LOG" &
    REELHAWK_RESOLVER_PID=$!
    local i port
    for i in $(seq 1 200); do
        port=$(sed -n 's|.*listening on http://127\.0\.0\.1:\([0-9][0-9]*\)/.*|\1|p' \
            "$REELHAWK_RESOLVER_LOG")
        if [ -n "$port" ]; then
            REELHAWK_RESOLVER_PORT=$port
            return 0
        fi
        kill -0 "$REELHAWK_RESOLVER_PID" 2>/dev/null || break
        sleep 0.1
    done
    log "the resolver service did not start: $(tail -n 3 "$REELHAWK_RESOLVER_LOG")"
    reelhawk_stop_resolver
    return 1
}

reelhawk_stop_resolver() {
    if [ -n "${REELHAWK_RESOLVER_PID:-}" ]; then
        reelhawk_end_pid "$REELHAWK_RESOLVER_PID" 35  # it answers what it has taken first
        unset REELHAWK_RESOLVER_PID REELHAWK_RESOLVER_PORT
    fi
    return 0
}

# The sample video site (scripts/sample_site.py), built into the folder given (default:
# $REELHAWK_BUILD/sample-site) and served on 127.0.0.1 at a free port; sets REELHAWK_SAMPLE_PID,
# REELHAWK_SAMPLE_DIR and REELHAWK_SAMPLE_URL (with its closing "/").
reelhawk_start_sample_site() {
    REELHAWK_SAMPLE_DIR="${1:-$REELHAWK_BUILD/sample-site}"
    local site="$REELHAWK_ROOT/scripts/sample_site.py"
    local port_file="$REELHAWK_SAMPLE_DIR.port"
    rm -rf "$REELHAWK_SAMPLE_DIR" "$port_file"
    python3 "$site" build "$REELHAWK_SAMPLE_DIR" || return 1
    python3 "$site" serve "$REELHAWK_SAMPLE_DIR" "$port_file" </dev/null >/dev/null \
        2>"$REELHAWK_SAMPLE_DIR.log" &
    REELHAWK_SAMPLE_PID=$!
    local i
    for i in $(seq 1 100); do
        if [ -s "$port_file" ]; then
            REELHAWK_SAMPLE_URL="http://127.0.0.1:$(cat "$port_file")/"
            return 0
        fi
        kill -0 "$REELHAWK_SAMPLE_PID" 2>/dev/null || break
        sleep 0.1
    done
    log "the sample video site did not start"
    reelhawk_stop_sample_site
    return 1
}

reelhawk_stop_sample_site() {
    if [ -n "${REELHAWK_SAMPLE_PID:-}" ]; then
        reelhawk_end_pid "$REELHAWK_SAMPLE_PID" 5
        unset REELHAWK_SAMPLE_PID REELHAWK_SAMPLE_URL
    fi
    return 0
}

# The host of the resolving page the Windows build was made for (its REELHAWK_RESOLVER_URL).
reelhawk_resolver_host() {
    local url
    url=$(sed -n 's/^REELHAWK_RESOLVER_URL:[A-Z]*=//p' "$REELHAWK_BUILD/windows/CMakeCache.txt" \
        2>/dev/null)
    url=${url:-http://resolver.reelhawk.test/}
    url=${url#*://}
    url=${url%%/*}
    url=${url##*@}
    echo "${url%%:*}" | tr '[:upper:]' '[:lower:]'
}

# Puts the resolver service at 127.0.0.1:PORT behind the host of the program's built-in resolving
# page, for the stand-in browser; the program itself still goes to its built-in address.
reelhawk_route_resolver() {
    REELHAWK_STANDIN_UPSTREAM="$(reelhawk_resolver_host)=127.0.0.1:$1"
    export REELHAWK_STANDIN_UPSTREAM
}
