#!/usr/bin/env bash
# Times the real executable on a heavy machine under Wine against two references, in Wine prefixes
# seeded alike:
#   reg query   Wine's own `reg query HKLM\...\Components /s` (one full enumeration by a peer program)
#   floor       floor_enum.exe: each component key enumerated, opened and one value queried once
#   check       vpRemovalTool.exe /check (it changes nothing)
#   tool        vpRemovalTool.exe with the demo's bundle upgrade code, its check after the removal
#               included
# Each time is the wall time of the Wine process, start-up included. Under Wine one run may take a
# quarter longer than the next in the same prefix (the floor alone took 18.5, 22.9 and 19.9 s): the
# three run in turn, floor, check, tool (which changes the machine), in each of WH_ROUNDS prefixes (3 by
# default) seeded alike, each with the same runs before it, and count by their medians. The reg query
# runs last, in the first prefix.
# Prints the times and the tool's ratios to both references.
#
#   scripts/wine-heavy-timing.sh [SCALE [BUILD_DIR]]     SCALE 1 by default; BUILD_DIR build/windows
#
# Needs the windows preset's build (vpRemovalTool.exe and floor_enum.exe) and wine. The machine
# (scripts/make-heavy-machine.py) and the prefixes live in a temporary folder removed at the end
# (WH_KEEP=1 keeps it).
set -euo pipefail

root_dir="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
scale="${1:-1}"
build_dir="${2:-$root_dir/build/windows}"
bundle_upgrade_code="{2A9F6E13-4B7C-4E85-9D20-B5C8E1F4A763}"
components='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Installer\UserData\S-1-5-18\Components'

source "$root_dir/tests/wine/harness.sh"
wh_setup "$build_dir/vpRemovalTool.exe"
[[ -f "$build_dir/floor_enum.exe" ]] || wh_fail "$build_dir/floor_enum.exe is missing (cmake --build --preset windows)"

machine="$WH_ROOT/machine"
python3 "$root_dir/scripts/make-heavy-machine.py" "$scale" "$machine"
echo "machine at scale $scale: registry.reg of $(( $(stat -c %s "$machine/registry.reg") / 1024 )) KB"

rounds=${WH_ROUNDS:-3}
prefixes=()
seed_start=$(date +%s.%N)
for (( round = 0; round < rounds; ++round )); do
    wh_new_prefix "heavy$round"
    WINEPREFIX="$WH_PREFIX" wineserver -p
    wh_seed "$machine"
    cp "$build_dir/vpRemovalTool.exe" "$build_dir/floor_enum.exe" "$WH_PREFIX/drive_c/"
    prefixes+=("$WH_PREFIX")
done
echo "seeded $rounds prefixes in $(python3 -c "print(f'{$(date +%s.%N) - $seed_start:.1f}')") s"

# Runs a Wine program in the session of the prefix given first; prints its wall time in seconds.
timed() {
    local prefix="$1" start end
    shift
    start=$(date +%s.%N)
    (cd "$prefix/drive_c" && WINEPREFIX="$prefix" wine "$@" </dev/null >"$WH_ROOT/out/last.txt" 2>&1) || true
    end=$(date +%s.%N)
    python3 -c "print(f'{$end - $start:.2f}')"
}

floors=()
checks=()
tools=()
for prefix in "${prefixes[@]}"; do
    floors+=("$(timed "$prefix" 'C:\floor_enum.exe')")
    floor_output=$(tr -d '\r' <"$WH_ROOT/out/last.txt")
    checks+=("$(timed "$prefix" 'C:\vpRemovalTool.exe' /check "$bundle_upgrade_code")")
    tools+=("$(timed "$prefix" 'C:\vpRemovalTool.exe' "$bundle_upgrade_code")")
done
reg_query=$(timed "${prefixes[0]}" reg query "$components" /s)
keys=$(grep -c -i '^HKEY_LOCAL_MACHINE' "$WH_ROOT/out/last.txt" || true)
median() { printf '%s\n' "$@" | sort -n | awk '{ t[NR] = $1 } END { print (NR % 2) ? t[(NR + 1) / 2] : (t[NR / 2] + t[NR / 2 + 1]) / 2 }'; }
floor=$(median "${floors[@]}")
check=$(median "${checks[@]}")
tool=$(median "${tools[@]}")

echo "reg query /s  $reg_query s   ($keys keys listed)"
echo "floor         $floor s   (median of ${floors[*]}; $floor_output)"
echo "check         $check s   (median of ${checks[*]})"
echo "tool          $tool s   (median of ${tools[*]})"
# The harness's clean-up at exit stops Wine sessions that may be gone already.
set +e
python3 -c "
tool, check, floor, peer = $tool, $check, $floor, $reg_query
print(f'check / floor     {check / floor:.2f}   (target at most 1.2)')
print(f'tool / floor      {tool / floor:.2f}   (target at most 2.3)')
print(f'tool / reg query  {tool / peer:.2f}')"
