#!/usr/bin/env bash
# Builds the resolver service without sanitizers (Release) and runs its benchmark once; prints
# figures, asserts nothing. Loopback only; every process it starts it ends.
#   scripts/resolver_bench.sh [--quick] [--compare OTHER_BINARY] [--connections]
#   scripts/resolver_bench.sh --tunnel [--quick]     the tunnel's and the merge's benchmark
set -euo pipefail
REELHAWK_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$REELHAWK_ROOT/scripts/lib.sh"
reelhawk_ensure_packages test
command -v wrk >/dev/null || apt-get install -y -qq --no-install-recommends wrk >/dev/null
build="$REELHAWK_BUILD/resolver-release"
# The tree the Debian package is made in (the `resolver` preset), so it is configured one way.
(cd "$REELHAWK_ROOT" && cmake --preset resolver -B "$build" >/dev/null)
cmake --build "$build" -j "$(nproc)" --target reelhawk-resolver >/dev/null
bench=resolver_bench.py
if [ "${1:-}" = --tunnel ]; then
    bench=tunnel_bench.py
    shift
fi
exec python3 "$REELHAWK_ROOT/resolver/bench/$bench" "$build/resolver/reelhawk-resolver" "$@"
