#!/usr/bin/env bash
# A long simulated flight against the real daemon (not part of CI): positions at 5 Hz, a camera
# feedback about every second and a dataflash log streamed at once, then the landing and the
# postflight. Checks that resident memory stays flat within 1 MB after warm-up, that the same
# descriptors are open before and after, that the log file is byte-identical to the stream and
# that every feedback used became a stored shot row. Exits non-zero when a check fails.
#
#   bench/soak.sh
#   SOAK_SECONDS=600        length of the flight
#   SOAK_LOG_RATE=50        log blocks (200 bytes) per second during the flight
#   VORN_BENCH_BUILD=DIR    build directory (default build-bench)
set -euo pipefail
cd "$(dirname "$0")/.."

build=${VORN_BENCH_BUILD:-build-bench}
seconds=${SOAK_SECONDS:-600}
rate=${SOAK_LOG_RATE:-50}

[[ -f $build/CMakeCache.txt ]] || cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j 2 --target vorn-camera vorn-fcsim bench_footprint >/dev/null

echo "soak: $seconds s flight, $rate log blocks/s, $(uptime)"
"$build/bench_footprint" soak "$seconds" "$rate" | grep -v '^RESULT|'
