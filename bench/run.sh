#!/usr/bin/env bash
# Builds the benchmarks and runs every comparison of BENCHMARKS.md, interleaved, plug-in against
# its reference in alternating rounds; prints the table with min and median of each side and the
# machine's load average, and writes it to BUILD/bench-results.md (samples in
# bench-results.json, every round in bench-log.txt).
#
#   bench/run.sh [--rounds N] [--only KEY,...] [--update]
#
# --rounds  rounds per comparison (default 10; --update needs at least 10)
# --only    a subset: gets, parse-search, parse-browse, json, text-line, text-paragraph,
#           scale, redraw, thumbnail, enter, feed, memory, cpu, instant-play
# --update  replace the table in BENCHMARKS.md with this run's
# SOLVANE_BENCH_BUILD  build directory (default build-bench beside the sources)
#
# Run it on a quiet machine: the end-to-end comparisons start mpv under Xvfb and the stand-in
# service, and every figure stretches with the load.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${SOLVANE_BENCH_BUILD:-$root/build-bench}
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DSOLVANE_BENCH=ON >/dev/null
cmake --build "$build" -j"$(nproc)"
exec python3 "$root/bench/compare.py" --build "$build" "$@"
