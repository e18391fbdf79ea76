#!/usr/bin/env bash
# Builds everything and runs every test: unit tests and whole runs on the simulated machine, and the
# real executable under Wine; then the simulated machine's tests under the sanitizers.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
ctest --preset linux

# The simulated machine again, optimised, under AddressSanitizer with UndefinedBehaviorSanitizer (unit
# and scenario tests, the whole call-failure sweeps and every 29th call of the repeated-failure sweeps)
# and under ThreadSanitizer (unit and scenario tests, every 211th call of the call-failure sweeps).
for preset in linux-asan linux-tsan; do
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset"
    ctest --preset "$preset"
done
# The libFuzzer targets, each for a fixed number of runs from its seed corpus with a fixed seed.
bash "$(dirname "${BASH_SOURCE[0]}")/fuzz.sh" --ci
# The release package, built twice from the same commit in two folders, must be the same byte for byte.
bash "$(dirname "${BASH_SOURCE[0]}")/check-reproducible.sh"
# The package signed with a throw-away certificate: the signatures, the time stamp, their removal, and
# the signed executable under Wine.
bash "$(dirname "${BASH_SOURCE[0]}")/check-signing.sh"
