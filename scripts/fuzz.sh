#!/usr/bin/env bash
# The libFuzzer targets of fuzz/ (built by the linux-fuzz preset with clang).
#
#   scripts/fuzz.sh [SECONDS_PER_TARGET] [TARGET...]   long runs (default 600 s each, every target);
#       new corpus entries go to build/fuzz-corpus/TARGET, findings to build/fuzz-artifacts/, the
#       output to build/fuzz-logs/TARGET.log.
#   scripts/fuzz.sh --ci                                 what CI runs: every target for a fixed
#       number of runs with a fixed seed from the seed corpus alone (deterministic, short).
#
# Exits non-zero when a target finds something (a sanitizer report, a failed check, a crash, a
# time-out or a leak); the input that caused it is in build/fuzz-artifacts/.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

targets_all=(inf_scan registry_reg machine_ini drive_c_listing lib_string)
# Runs per target in CI: about 8 seconds for all five, two at a time on two cores (the build before them
# about 45 s).
declare -A ci_runs=([inf_scan]=12000 [registry_reg]=8000 [machine_ini]=15000 [drive_c_listing]=12000 [lib_string]=30000)

mode=long
seconds=600
if [ "${1:-}" = "--ci" ]; then
    mode=ci
    shift
elif [ -n "${1:-}" ]; then
    seconds=$1
    shift
fi
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=("${targets_all[@]}")

cmake --preset linux-fuzz >/dev/null
cmake --build --preset linux-fuzz

bin=build/linux-fuzz/fuzz
mkdir -p build/fuzz-artifacts build/fuzz-logs

# Runs one target into its log; the exit status is the fuzzer's.
run_target() {
    local target=$1 log=build/fuzz-logs/$1.log work status=0
    # Each input must be judged within 10 s (nothing may cost more than linear time); inputs of up
    # to 64 KiB.
    local options=(-timeout=10 -max_len=65536 -print_final_stats=1 -artifact_prefix="build/fuzz-artifacts/$target-")
    [ -f "fuzz/$target.dict" ] && options+=(-dict="fuzz/$target.dict")
    if [ "$mode" = ci ]; then
        # A fresh, empty folder takes the new entries, so each run starts from the seeds alone.
        work=$(mktemp -d)
        "$bin/fuzz_$target" "${options[@]}" -seed=1 -runs="${ci_runs[$target]}" "$work" "fuzz/corpus/$target" >"$log" 2>&1 ||
            status=$?
        rm -rf "$work"
    else
        mkdir -p "build/fuzz-corpus/$target"
        "$bin/fuzz_$target" "${options[@]}" -max_total_time="$seconds" "build/fuzz-corpus/$target" "fuzz/corpus/$target" >"$log" 2>&1 ||
            status=$?
    fi
    return $status
}

# CI's short runs go two at a time (one per core); the long runs one at a time, each on its own for its
# whole time. Each run leaves its exit status beside its log; the verdicts come in the targets' order.
run_and_note() { local status=0; run_target "$1" || status=$?; echo "$status" >"build/fuzz-logs/$1.status"; }
for target in "${targets[@]}"; do
    rm -f "build/fuzz-logs/$target.status"
    if [ "$mode" = ci ]; then
        while [ "$(jobs -rp | wc -l)" -ge 2 ]; do wait -n || true; done
        run_and_note "$target" &
    else
        run_and_note "$target"
    fi
done
wait
status=0
for target in "${targets[@]}"; do
    [ "$(cat "build/fuzz-logs/$target.status" 2>/dev/null)" = 0 ] || status=1
    log=build/fuzz-logs/$target.log
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    coverage=$(grep -o 'cov: [0-9]*' "$log" | tail -1)
    if grep -q -E '^(==[0-9]+==ERROR|SUMMARY:|fuzz check failed)|runtime error:|Test unit written' "$log"; then
        echo "fuzz_$target: FINDING after ${runs:-?} runs (see $log)"
        grep -m 5 -E 'ERROR|runtime error|fuzz check failed|SUMMARY|Test unit written' "$log" | sed 's/^/    /'
        status=1
    else
        echo "fuzz_$target: ${runs:-?} runs, no finding (${coverage:-cov: ?})"
    fi
done
exit $status
