#!/usr/bin/env bash
# One Wine check's result, as run_tests.sh with WH_RESULTS_DIR wrote it: its output, and the exit
# status 0 for PASS, 1 for FAIL or no result (the suite did not reach it).
#
#   bash tests/wine/check_result.sh RESULTS_DIR NAME
set -u
dir="${1:?usage: check_result.sh RESULTS_DIR NAME}"
name="${2:?usage: check_result.sh RESULTS_DIR NAME}"
if [[ ! -f "$dir/$name.status" ]]; then
    echo "no result for the Wine check $name in $dir (the suite did not run it)"
    exit 1
fi
cat "$dir/$name.out"
echo "$(cat "$dir/$name.status") $name"
[[ "$(cat "$dir/$name.status")" == PASS ]]
