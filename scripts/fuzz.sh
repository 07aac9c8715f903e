#!/usr/bin/env bash
# fuzz.sh [SECONDS] [TARGET...]: builds the libFuzzer targets with clang
# (AddressSanitizer and UndefinedBehaviorSanitizer on) into build/fuzz and runs
# each for SECONDS (default 20) on its corpus in fuzz/corpus/TARGET. Any crash,
# leak, hang or frame left allocated fails the run; the input that found it is
# saved as build/fuzz/findings/TARGET/crash-* (keep it in the corpus once
# fixed; a leak is reported with its stack when the run ends).
# New inputs found along the way go to build/fuzz/corpus/TARGET, not the tree.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
secs=${1:-20}
[ $# -gt 0 ] && shift
dir=build/fuzz
CXX=${FUZZ_CXX:-clang++} JX_TARGETS=fuzzers bash scripts/build.sh "$dir" RelWithDebInfo -DJX_FUZZ=ON \
    -DJX_TESTS=OFF
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
    for t in "$dir"/fuzz_*; do [ -x "$t" ] && targets+=("$(basename "$t")"); done
fi
# Leaks are looked for once, when a run ends: the node's pools and log keep
# memory between inputs, which would have libFuzzer re-run every input under
# LeakSanitizer. The quarantine is bounded so that a long run fits in memory.
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:quarantine_size_mb=64
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
failed=()
for t in "${targets[@]}"; do
    seeds=fuzz/corpus/$t
    work=$dir/corpus/$t
    findings=$dir/findings/$t
    mkdir -p "$work" "$findings"
    echo "fuzz: $t for ${secs}s"
    # -timeout: an input still running after ten seconds is a hang.
    if ! "$dir/$t" -max_total_time="$secs" -detect_leaks=0 -timeout=10 -rss_limit_mb=4096 -max_len=4096 \
        -artifact_prefix="$findings/" -print_final_stats=1 "$work" "$seeds" \
        >"$dir/$t.log" 2>&1; then
        echo "fuzz: $t FAILED; see $dir/$t.log and $findings/"
        tail -n 40 "$dir/$t.log"
        failed+=("$t")
    fi
done
if [ ${#failed[@]} -ne 0 ]; then
    echo "fuzz: ${#failed[@]} target(s) failed: ${failed[*]}"
    exit 1
fi
echo "fuzz: all targets clean"
