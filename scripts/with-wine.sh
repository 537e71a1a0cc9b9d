#!/usr/bin/env bash
# Runs one command inside the private Wine environment (display, prefix, server, stand-in), then
# stops it again. For development: REELHAWK_BUILD=build-x scripts/with-wine.sh ctest --test-dir ...
set -uo pipefail
REELHAWK_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$REELHAWK_ROOT/scripts/lib.sh"
reelhawk_stop_all_on_exit
reelhawk_start_display || exit 1
reelhawk_start_wine
reelhawk_start_chromium
reelhawk_run "$@"
