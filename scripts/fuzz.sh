#!/usr/bin/env bash
# The libFuzzer targets of fuzz/ (built by the linux-fuzz preset with clang), one at a time.
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
# Runs per target in CI: about 40 seconds for all five on this machine.
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
status=0
for target in "${targets[@]}"; do
    # Each input must be judged within 10 s (nothing may cost more than linear time); inputs of up
    # to 64 KiB.
    options=(-timeout=10 -max_len=65536 -print_final_stats=1 -artifact_prefix="build/fuzz-artifacts/$target-")
    [ -f "fuzz/$target.dict" ] && options+=(-dict="fuzz/$target.dict")
    log=build/fuzz-logs/$target.log
    if [ "$mode" = ci ]; then
        # A fresh, empty folder takes the new entries, so each run starts from the seeds alone.
        work=$(mktemp -d)
        if ! "$bin/fuzz_$target" "${options[@]}" -seed=1 -runs="${ci_runs[$target]}" "$work" "fuzz/corpus/$target" >"$log" 2>&1; then
            status=1
        fi
        rm -rf "$work"
    else
        mkdir -p "build/fuzz-corpus/$target"
        if ! "$bin/fuzz_$target" "${options[@]}" -max_total_time="$seconds" "build/fuzz-corpus/$target" "fuzz/corpus/$target" >"$log" 2>&1; then
            status=1
        fi
    fi
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
