#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer, ASan, UBSan) and runs them.
#
#   fuzz/run.sh smoke            each target for a few seconds (CI)
#   fuzz/run.sh long [RUNS]      each target for RUNS executions (default ten million)
#   fuzz/run.sh build            build only
#
# Corpora start from the seeds in fuzz/corpus/<target>/ and grow in $FUZZ_BUILD/corpus/<target>/;
# crashes are written to $FUZZ_BUILD/crashes/. FUZZ_TARGETS="a b" runs only those targets.
set -euo pipefail
cd "$(dirname "$0")/.."
mode=${1:-smoke}
build=${FUZZ_BUILD:-build-fuzz}
targets=(${FUZZ_TARGETS:-reply_parser variant_text form_file board_engine command})

cmake -S fuzz -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "${JOBS:-2}" >/dev/null
[ "$mode" = build ] && exit 0

mkdir -p "$build/crashes"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
for t in "${targets[@]}"; do
    corpus="$build/corpus/$t"
    mkdir -p "$corpus"
    case "$mode" in
        # A fixed seed keeps the CI run from wandering into new ground on its own.
        smoke) limit=(-max_total_time="${FUZZ_SECONDS:-5}" -seed=1) ;;
        long) limit=(-runs="${2:-10000000}") ;;
        *) echo "usage: fuzz/run.sh smoke|long [RUNS]|build" >&2; exit 2 ;;
    esac
    echo "== $t"
    set +e
    "$build/fuzz_$t" "${limit[@]}" -max_len=4096 -print_final_stats=1 \
        -artifact_prefix="$build/crashes/$t-" "$corpus" "fuzz/corpus/$t" 2>&1 |
        grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb|==[0-9]+==ERROR|.*property failed|SUMMARY|    #[0-9]+ )'
    status=${PIPESTATUS[0]}
    set -e
    [ "$status" -eq 0 ] || { echo "fuzz_$t failed; see $build/crashes/" >&2; exit 1; }
done
