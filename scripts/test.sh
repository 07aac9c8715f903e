#!/usr/bin/env bash
# Every test: an optimised build, then a build under AddressSanitizer and
# UndefinedBehaviorSanitizer. End-to-end tests need root (namespaces, sockets
# owned by other users); without root they are left out.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
bash scripts/deps.sh

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
echo "test: all passed"
