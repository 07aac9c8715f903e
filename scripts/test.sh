#!/usr/bin/env bash
# Every test: the format check, an optimised build, a build under
# AddressSanitizer and UndefinedBehaviorSanitizer, then the threaded tests
# (their list is JX_THREADED_TESTS in CMakeLists.txt) under ThreadSanitizer,
# then the fuzzers for a short while (scripts/fuzz.sh).
# End-to-end tests need root (namespaces, sockets owned by other users);
# without root they are left out.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
bash scripts/deps.sh
bash scripts/format.sh --check

jobs=$(nproc)
exclude=()
[ "$(id -u)" -eq 0 ] || { echo "test: not root, end-to-end tests left out"; exclude=(-LE e2e); }

run() {
    local dir=$1
    shift
    bash scripts/build.sh "$dir" "$@"
    ctest --test-dir "$dir" --output-on-failure -j "$jobs" "${exclude[@]}"
}

run build/release Release
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    run build/asan RelWithDebInfo -DJX_SANITIZE=ON
# Only the test program: the tools and the node add nothing the filter runs.
JX_TARGETS=jxtests TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    run build/tsan RelWithDebInfo -DJX_TSAN=ON
# The fuzzers, 5 seconds each on their corpora: with some thirty targets
# that keeps the whole run within half an hour on two cores.
bash scripts/fuzz.sh 5
echo "test: all passed"
