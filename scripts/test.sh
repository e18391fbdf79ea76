#!/usr/bin/env bash
# Runs the tests.
#
#   bash scripts/test.sh --quick   the daily loop, from a built tree: the linux preset's build brought up
#                                  to date, then its unit, scenario and conformance tests on winsim alone
#                                  (ctest --preset quick; no Wine, no sweep)
#   bash scripts/test.sh           everything (what CI runs): installs and builds (setup.sh); then the
#                                  unit and whole-run tests and the sweeps on the simulated machine under
#                                  AddressSanitizer; beside them, in two lanes, the same under
#                                  ThreadSanitizer, and the real executable under Wine, the conformance
#                                  programs, the fuzz targets and the release package's reproducibility
#                                  and signing. The unit and scenario tests run in the
#                                  sanitizer builds alone: the plain debug build would run them again
#                                  with fewer checks.
set -euo pipefail
scripts="$(dirname "${BASH_SOURCE[0]}")"

if [ "${1:-}" = --quick ]; then
    cd "$scripts/.."
    cmake --preset linux >/dev/null
    cmake --build --preset linux
    ctest --preset quick
    exit
fi
[ $# -eq 0 ] || { echo "usage: test.sh [--quick]" >&2; exit 64; }

# Each step's time on the clock and the processor time of its processes (the cores' use: the machines
# this runs on have two), for finding where the time goes.
step_clock=$SECONDS
step_cpu=0
times_file="$(mktemp)"
trap 'rm -f "$times_file"' EXIT
step_done() {
    local cpu clock=$((SECONDS - step_clock))
    times >"$times_file"  # in this shell: its line 2 is the processor time of the finished children
    cpu=$(awk 'NR == 2 { for (i = 1; i <= 2; ++i) { split($i, t, "m"); sum += t[1] * 60 + t[2] } print int(sum) }' "$times_file")
    printf '== %s: %d s on the clock, %d s of processor time; %d:%02d since the start\n' "$1" "$clock" \
        $((cpu - step_cpu)) $((SECONDS / 60)) $((SECONDS % 60))
    step_clock=$SECONDS
    step_cpu=$cpu
}

SECONDS=0
source "$scripts/setup.sh"
printf '== installs: %d s on the clock\n' "$setup_installs_seconds"
step_clock=$setup_installs_seconds
step_done "the windows and linux builds"

# Two lanes run beside the AddressSanitizer build and tests, so that the two cores are never left idle
# while one step waits on its slowest part; each lane's output follows theirs.
build_preset() { cmake --preset "$1" >/dev/null && cmake --build --preset "$1"; }
lane_step() {  # NAME COMMAND...: one step of a lane, with its time on the clock
    local start=$SECONDS status=0
    "${@:2}" || status=$?
    printf '== %s: %d s on the clock%s\n' "$1" $((SECONDS - start)) "$([ "$status" -eq 0 ] || echo ', FAILED')"
    return "$status"
}
# The simulated machine under ThreadSanitizer: unit and scenario tests, every 211th call of the
# call-failure sweeps. It starts once the Wine checks are over: Wine beside two builds at once ran
# slowly enough for a check's Wine session to fail.
wine_checks_over="$(mktemp -u)"
tsan_lane() {
    while [ ! -e "$wine_checks_over" ]; do sleep 5; done
    lane_step "linux-tsan build" build_preset linux-tsan && lane_step "linux-tsan tests" ctest --preset linux-tsan
}
# The real executable under Wine and the conformance programs (they wait on Wine more than they
# compute); the libFuzzer targets, each for a fixed number of runs from its seed corpus with a fixed
# seed; then the release package, built twice from the same commit in two folders, must be the same
# byte for byte, and the package signed with a throw-away certificate: the signatures, their removal,
# and the signed executable under Wine. The Wine checks use build/windows before the package's build
# touches it.
wine_lane() {
    local status=0
    lane_step "linux tests (Wine and conformance)" ctest --preset linux-ci || status=1
    touch "$wine_checks_over"
    lane_step "fuzz targets" bash "$scripts/fuzz.sh" --ci || status=1
    lane_step "release package" ctest --preset release || status=1
    return "$status"
}
lane_pids=()
lane_outs=()
trap 'rm -f "$times_file" "$wine_checks_over" "${lane_outs[@]}"; [ ${#lane_pids[@]} -eq 0 ] || kill "${lane_pids[@]}" 2>/dev/null || true' EXIT
for lane in tsan_lane wine_lane; do
    lane_outs+=("$(mktemp)")
    ( "$lane" ) >"${lane_outs[-1]}" 2>&1 &
    lane_pids+=($!)
done

# The simulated machine again, optimised, under AddressSanitizer with UndefinedBehaviorSanitizer: unit
# and scenario tests, the whole call-failure sweeps and every 29th call of the repeated-failure sweeps
# (the remote LocalSystem copy at its own call sites only, whole).
build_preset linux-asan
step_done "linux-asan build"
ctest --preset linux-asan
step_done "linux-asan tests"

lanes_status=0
for i in "${!lane_pids[@]}"; do
    wait "${lane_pids[$i]}" || lanes_status=1
    cat "${lane_outs[$i]}"
done
lane_pids=()
step_done "the lanes beside (ThreadSanitizer; Wine, conformance, fuzz targets, release package), after AddressSanitizer"
[ "$lanes_status" -eq 0 ] || exit "$lanes_status"
printf '== in all %d:%02d, %d:%02d after the installs\n' $((SECONDS / 60)) $((SECONDS % 60)) \
    $(((SECONDS - setup_installs_seconds) / 60)) $(((SECONDS - setup_installs_seconds) % 60))
