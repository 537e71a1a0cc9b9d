#!/usr/bin/env bash
# Builds the resolver service without sanitizers (Release) and runs the benchmark of its tunnel and
# merge once; prints figures, asserts nothing. Loopback only; every process it starts it ends.
#   scripts/tunnel_bench.sh [--quick]
set -euo pipefail
REELHAWK_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$REELHAWK_ROOT/scripts/lib.sh"
reelhawk_ensure_packages test
build="$REELHAWK_BUILD/resolver-release"
# The tree the Debian package is made in (the `resolver` preset), so it is configured one way.
(cd "$REELHAWK_ROOT" && cmake --preset resolver -B "$build" >/dev/null)
cmake --build "$build" -j "$(nproc)" --target reelhawk-resolver >/dev/null
exec python3 "$REELHAWK_ROOT/resolver/bench/tunnel_bench.py" "$build/resolver/reelhawk-resolver" "$@"
