#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer, UndefinedBehaviorSanitizer)
# with the fuzz preset in build/fuzz and runs them, printing for each target the executions, the
# coverage reached (edges covered of those instrumented, and features) and
# the size of the corpus. Any finding makes it exit nonzero and
# leaves the input that caused it in build/fuzz/artifacts/.
#
#   tools/fuzz.sh --smoke              every target for 12 s from the committed
#                                      seeds, two at a time (test.sh runs it)
#   tools/fuzz.sh [SECONDS] [TARGET..] longer runs (600 s each by default) that
#                                      keep their corpus in build/fuzz/corpus/
#
# Targets: program, codec, keyargs, driver_replies, machine_file.
set -euo pipefail
cd "$(dirname "$0")/.."

build=build/fuzz
all_targets=(program codec keyargs driver_replies machine_file)
mode=long
seconds=600
targets=()
for arg in "$@"; do
    case "$arg" in
    --smoke) mode=smoke; seconds=12 ;;
    [0-9]*) seconds=$arg ;;
    -h | --help) sed -n '2,13p' "$0"; exit 0 ;;
    *) targets+=("$arg") ;;
    esac
done
[ ${#targets[@]} -gt 0 ] || targets=("${all_targets[@]}")

echo "== Building the fuzz targets in $build (the fuzz preset)"
mkdir -p "$build"
cmake --preset fuzz >"$build/configure.log" 2>&1 || { cat "$build/configure.log"; exit 1; }
cmake --build --preset fuzz --target $(printf 'fuzz_%s ' "${targets[@]}")

mkdir -p "$build/artifacts"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

# One target's run; its output goes to build/fuzz/fuzz_TARGET.log and its
# exit code to build/fuzz/fuzz_TARGET.status.
run_target() {
    local t=$1 work status=0
    if [ "$mode" = smoke ]; then
        work=$(mktemp -d)
    else
        work="$build/corpus/$t"
        mkdir -p "$work"
    fi
    "$build/fuzz/fuzz_$t" -max_total_time="$seconds" -print_final_stats=1 \
        -artifact_prefix="$build/artifacts/$t-" "$work" "fuzz/corpus/$t" >"$build/fuzz_$t.log" 2>&1 ||
        status=$?
    echo "$status" >"$build/fuzz_$t.status"
    [ "$mode" = smoke ] && rm -rf "$work"
    return 0
}

# The short runs go two at a time, one for each core; the long ones one by one.
parallel=1
[ "$mode" = long ] || parallel=2
for t in "${targets[@]}"; do
    [ "$(jobs -rp | wc -l)" -lt "$parallel" ] || wait -n
    run_target "$t" &
done
wait

printf '\n%-16s %8s %12s %10s %16s %10s %8s\n' target seconds executions exec/s "edges covered" features corpus
failed=0
for t in "${targets[@]}"; do
    log="$build/fuzz_$t.log"
    status=$(cat "$build/fuzz_$t.status")
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
    total=$(sed -n 's/.*(\([0-9]*\) inline 8-bit counters).*/\1/p' "$log" | head -1)
    last=$(grep -E '^#[0-9]+.*cov: ' "$log" | tail -1 || true)
    cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$last")
    ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$last")
    corp=$(sed -n 's/.* corp: \([0-9]*\)\/.*/\1/p' <<<"$last")
    printf '%-16s %8s %12s %10s %16s %10s %8s\n' "$t" "$seconds" "${runs:-?}" "${rate:-?}" \
        "${cov:-?}/${total:-?}" "${ft:-?}" "${corp:-?}"
    if [ "$status" -ne 0 ]; then
        failed=1
        echo "$t: FINDING (exit $status); the run's output is in $log:"
        grep -E 'ERROR|check failed|SUMMARY|Test unit written' "$log" | head -20
    fi
done
exit $failed
