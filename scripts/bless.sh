#!/usr/bin/env bash
# Rewrites machines/MACHINE/expected from a run of the simulated machine and shows what changed, so
# that a deliberate change of the tool's output is one command and a reviewed diff:
#
#   bash scripts/bless.sh MACHINE [MACHINE...]      e.g. bash scripts/bless.sh demo user-writable
#
# Each expected file that the folder already holds is written anew: the log, console and exit code
# of the run (with the arguments of arguments.txt), the change summary (changes.txt, changes.json)
# and the key security (security.txt); second-run/ from a second run on the first one's machine.
# The log's time of day (its fifth line) is kept from the old file, as the tests mask it. Needs the
# linux preset's build (build/linux/vpsim).
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
vpsim="${VPSIM:-$root/build/linux/vpsim}"
[[ -x "$vpsim" ]] || { echo "bless.sh: $vpsim is missing (cmake --build --preset linux)" >&2; exit 1; }
(( $# )) || { echo "usage: bless.sh MACHINE [MACHINE...]" >&2; exit 64; }
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# The run's log, with the old expected log's fifth line (the time of day, which the tests mask).
log_of() {
    local out="$1" old="$2" log
    log="$(find "$out/drive_c" -ipath '*/windows/temp/vpremovaltool.txt' | head -n 1)"
    [[ -n "$log" ]] || { echo "bless.sh: no log in $out" >&2; return 1; }
    awk -v keep="$(sed -n 5p "$old")" 'NR == 5 { print keep; next } { print }' "$log"
}

# Writes the files of one run into an expected folder: only those the folder holds already.
bless_run() {
    local before="$1" out="$2" expected="$3"
    if [[ -f "$expected/vpRemovalTool.txt" ]]; then
        log_of "$out" "$expected/vpRemovalTool.txt" >"$work/log"
        mv "$work/log" "$expected/vpRemovalTool.txt"
    fi
    [[ -f "$expected/console.txt" ]] && cp "$out/console.txt" "$expected/console.txt"
    [[ -f "$expected/exit-code.txt" ]] && cp "$out/exit-code.txt" "$expected/exit-code.txt"
    [[ -f "$expected/security.txt" ]] && cp "$out/security.txt" "$expected/security.txt"
    [[ -f "$expected/changes.txt" ]] && "$vpsim" diff "$before" "$out" >"$expected/changes.txt"
    [[ -f "$expected/changes.json" ]] && "$vpsim" diff --json "$before" "$out" >"$expected/changes.json"
    return 0
}

for machine in "$@"; do
    dir="$root/machines/$machine"
    [[ -d "$dir/expected" ]] || { echo "bless.sh: $dir/expected is missing" >&2; exit 1; }
    arguments=""
    [[ -f "$dir/expected/arguments.txt" ]] && arguments="$(tr -d '\r\n' <"$dir/expected/arguments.txt")"
    # shellcheck disable=SC2086  # the arguments are words
    "$vpsim" run "$dir" --out "$work/$machine" -- $arguments >/dev/null || true
    bless_run "$dir" "$work/$machine" "$dir/expected"
    if [[ -d "$dir/expected/second-run" ]]; then
        "$vpsim" run "$work/$machine" --out "$work/$machine-second" -- $arguments >/dev/null || true
        bless_run "$work/$machine" "$work/$machine-second" "$dir/expected/second-run"
    fi
done
git -C "$root" --no-pager diff --stat -- machines
git -C "$root" --no-pager diff -- machines
