#!/usr/bin/env bash
# Runs the tests.
#
#   bash scripts/test.sh --quick   the daily loop, from a built tree: the linux preset's build brought up
#                                  to date, then its unit, scenario and conformance tests on winsim alone
#                                  (ctest --preset quick; no Wine, no sweep)
#   bash scripts/test.sh           everything (what CI runs): installs and builds (setup.sh); then the
#                                  unit and whole-run tests and the sweeps on the simulated machine under
#                                  the sanitizers; beside them the real executable under Wine, the
#                                  conformance programs, the fuzz targets and the release package's
#                                  reproducibility and signing. The unit and scenario tests run in the
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

# Beside the sanitizer builds and tests, in a lane of their own whose output follows theirs: the real
# executable under Wine and the conformance programs (they wait on Wine more than they compute); the
# libFuzzer targets, each for a fixed number of runs from its seed corpus with a fixed seed; then the
# release package, built twice from the same commit in two folders, must be the same byte for byte,
# and the package signed with a throw-away certificate: the signatures, their removal, and the signed
# executable under Wine. The Wine checks use build/windows before the package's build touches it.
lane_out="$(mktemp)"
trap 'rm -f "$times_file" "$lane_out"; [ -z "${lane_pid:-}" ] || kill "$lane_pid" 2>/dev/null || true' EXIT
(
    status=0
    lane_start=$SECONDS
    ctest --preset linux-ci || status=1
    printf '== linux tests (Wine and conformance): %d s on the clock\n' $((SECONDS - lane_start))
    lane_start=$SECONDS
    bash "$scripts/fuzz.sh" --ci || status=1
    printf '== fuzz targets: %d s on the clock\n' $((SECONDS - lane_start))
    lane_start=$SECONDS
    ctest --preset release || status=1
    printf '== release package: %d s on the clock\n' $((SECONDS - lane_start))
    exit $status
) >"$lane_out" 2>&1 &
lane_pid=$!

# The simulated machine again, optimised, under AddressSanitizer with UndefinedBehaviorSanitizer (unit
# and scenario tests, the whole call-failure sweeps and every 29th call of the repeated-failure sweeps;
# the remote LocalSystem copy at its own call sites only, whole) and under ThreadSanitizer (unit and
# scenario tests, every 211th call of the call-failure sweeps).
for preset in linux-asan linux-tsan; do
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset"
    step_done "$preset build"
    ctest --preset "$preset"
    step_done "$preset tests"
done

lane_status=0
wait "$lane_pid" || lane_status=$?
lane_pid=
cat "$lane_out"
step_done "the lane beside (Wine, conformance, fuzz targets, release package), after the sanitizers"
[ "$lane_status" -eq 0 ] || exit "$lane_status"
printf '== in all %d:%02d, %d:%02d after the installs\n' $((SECONDS / 60)) $((SECONDS % 60)) \
    $(((SECONDS - setup_installs_seconds) / 60)) $(((SECONDS - setup_installs_seconds) % 60))
