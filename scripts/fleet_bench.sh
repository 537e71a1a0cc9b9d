#!/usr/bin/env bash
# Builds the resolver service without sanitizers (Release) and runs the fleet benchmark once:
# cached answers through nginx to three instances sharing Redis, directly to one, and nginx
# serving a static file of the same size. Prints figures, asserts nothing. Loopback only; every
# process it starts it ends.
#   scripts/fleet_bench.sh [--seconds N]
set -euo pipefail
REELHAWK_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$REELHAWK_ROOT/scripts/lib.sh"
reelhawk_ensure_packages test
build="$REELHAWK_BUILD/resolver-release"
# The tree the Debian package is made in (the `resolver` preset), as the resolver's benchmark.
(cd "$REELHAWK_ROOT" && cmake --preset resolver -B "$build" >/dev/null)
cmake --build "$build" -j "$(nproc)" --target reelhawk-resolver >/dev/null
exec python3 "$REELHAWK_ROOT/resolver/bench/fleet_bench.py" "$build/resolver/reelhawk-resolver" \
    "$REELHAWK_ROOT/resolver/deploy/nginx-reelhawk-resolver.conf" "$@"
