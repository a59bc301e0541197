#!/usr/bin/env bash
# Sets up and runs every test: the unit and integration tests (a real headless mpv under Xvfb),
# the unit tests again under AddressSanitizer and UndefinedBehaviorSanitizer, and each fuzz
# target for a short, bounded time.
#   tools/test.sh            everything
#   FUZZ_SECONDS=N           seconds per fuzz target (default 20)
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup.sh

jobs=$(nproc)
werror=-DSOLVANE_WERROR=ON

echo "== build (Release) and all tests"
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release $werror >/dev/null
cmake --build build -j"$jobs"
(cd build && ctest --output-on-failure -j"$jobs" --timeout 600)

echo "== unit tests under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DSOLVANE_SANITIZE=ON $werror >/dev/null
cmake --build build-asan -j"$jobs"
(cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:allocator_may_return_null=1 \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --output-on-failure -j"$jobs" -L unit --timeout 600)

echo "== fuzz targets"
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSOLVANE_FUZZ=ON \
    -DSOLVANE_TESTS=OFF >/dev/null
fuzzers=$(ls fuzz/*_fuzz.cpp | xargs -n1 basename | sed 's/\.cpp$//')
cmake --build build-fuzz -j"$jobs" --target $fuzzers
seconds=${FUZZ_SECONDS:-20}
passed=0
failed=0
for target in build-fuzz/fuzz/*_fuzz; do
    [ -x "$target" ] || continue
    name=$(basename "$target")
    corpus=$(mktemp -d)
    seeds="fuzz/seeds/${name%_fuzz}"
    [ -d "$seeds" ] || seeds=""
    if "$target" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 \
        -print_final_stats=0 "$corpus" $seeds >"$corpus/log.txt" 2>&1; then
        echo "fuzz ok   $name"
        passed=$((passed + 1))
    else
        echo "fuzz FAIL $name"
        tail -n 40 "$corpus/log.txt"
        failed=$((failed + 1))
    fi
    rm -rf "$corpus"
done
echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
