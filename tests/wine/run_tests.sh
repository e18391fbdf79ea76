#!/usr/bin/env bash
# The Wine tests of vpRemovalTool.exe.
#
#   bash tests/wine/run_tests.sh EXE SOURCE_DIR [CHECK...]
#
# Runs every check (or only the named ones), one line per check, then "N passed, M failed".
# Exits non-zero when a check failed or when Wine or the executable is missing. With WH_RESULTS_DIR
# set, each check's verdict and output also go to that folder (NAME.status: PASS or FAIL, NAME.out),
# and only a missing Wine or executable makes the exit non-zero: each check is then a CTest test of
# its own that shows its result (check_result.sh).
#
# A check is a function check_<name>: it returns 0 when it holds; on failure it prints its reasons
# and returns non-zero. It may set NOTE to a short text shown on its PASS line. Checks that need a run
# call wh_run (harness.sh) with a run name; runs of the same name are made once and shared.

set -u
EXE="${1:-}"
SOURCE_DIR="${2:-}"
shift 2 2>/dev/null
SELECTED=("$@")

HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
# Runs a check's Python program from standard input, with wh_tool importable; its arguments are
# sys.argv[1:].
wh_python() { PYTHONPATH="$HERE${PYTHONPATH:+:$PYTHONPATH}" python3 - "$@"; }
source "$HERE/harness.sh"
[[ -n "$SOURCE_DIR" && -d "$SOURCE_DIR" ]] || wh_fail "source folder '$SOURCE_DIR' is missing"
EXPECTED="$HERE/expected"
MACHINES="$(cd "$SOURCE_DIR" && pwd)/machines"
OBJDUMP="${OBJDUMP:-x86_64-w64-mingw32-objdump}"

RULE81="$(printf '=%.0s' {1..81})"
RULE79="$(printf '=%.0s' {1..79})"
START_LINE="$(printf '=%.0s' {1..37}) START $(printf '=%.0s' {1..37})"
END_LINE="$(printf '=%.0s' {1..37}) END $(printf '=%.0s' {1..37})"
OS_NAMES=("Windows 10" "Windows 2012 R2 server" "Windows 8.1" "Windows 2012 server" "Windows 8"
          "Windows 2008 R2 server" "Windows 7" "Windows 2008 server" "Windows Vista" "Windows 2003 server"
          "Windows XP Embedded" "Windows XP" "Unsupported OS")
# An upgrade code that no scenario registers.
UNKNOWN_UPGRADE_CODE="{5C0A3E71-2B94-4D6F-9E18-7A4B2C90D3E5}"

NOTE=""

# ---------------------------------------------------------------- helpers

# Line N (1-based) of a file, with its line end removed (CR LF or LF).
line_of() {
    sed -n "${2}p" "$1" | tr -d '\r'
}

# The log of the last run, or a failure when the run wrote none.
need_log() {
    if [[ ! -f "$WH_OUT/log.txt" ]]; then
        echo "the run wrote no C:\\windows\\temp\\vpRemovalTool.txt"
        return 1
    fi
}

# Extract the resources of the executable once.
RESOURCES=""
need_resources() {
    if [[ -z "$RESOURCES" ]]; then
        RESOURCES="$WH_ROOT/resources"
        python3 "$HERE/wh_tool.py" resources "$WH_EXE" "$RESOURCES" || { echo "cannot read the resources"; return 1; }
    fi
}

expect_exit_code() {
    local want="$1" got
    got="$(cat "$WH_OUT/exit_code")"
    if [[ "$got" != "$want" ]]; then
        echo "exit code $got, expected $want"
        echo "console:"; head -n 20 "$WH_OUT/console.txt" | sed 's/^/  | /'
        echo "stderr:"; grep -v 'wine32\|multiarch\|dpkg --add-architecture\|apt-get install' "$WH_OUT/stderr.txt" \
            | head -n 5 | sed 's/^/  | /'
        return 1
    fi
}

# The eight lines that open every log: banner, title, UTC time of day, OS name and bitness; then the
# four that name the run. Wine's computer and user are those of the host, so the account and the
# computer are read by their form: DOMAIN\name and the SID, one name.
expect_log_header() {
    need_log || return 1
    local log="$WH_OUT/log.txt" bad=0 i want got
    local -a fixed=([1]="   $RULE81" [2]="   $START_LINE" [3]="   $RULE81" [4]="   VESPARIO Drivers Removal Tool"
                    [6]="   OS info:" [8]="   OS bitness: 64-bit")
    if (( $(wc -l <"$log") < 12 )); then
        echo "the log has fewer than twelve lines:"; sed 's/^/  | /' "$log"; return 1
    fi
    for i in 1 2 3 4 5 6 7 8 9 10 11 12; do
        if [[ "$(sed -n "${i}p" "$log")" != *$'\r' ]]; then
            echo "line $i does not end in CR LF"; bad=1
        fi
    done
    for i in 1 2 3 4 6 8; do
        want="${fixed[$i]}"
        got="$(line_of "$log" "$i")"
        if [[ "$got" != "$want" ]]; then
            echo "line $i is '$got', expected '$want'"; bad=1
        fi
    done

    got="$(line_of "$log" 5)"
    if [[ ! "$got" =~ ^\ \ \ ([0-9]{2}):([0-9]{2}):([0-9]{2}):([0-9]{3})$ ]]; then
        echo "line 5 is '$got', expected three blanks and the time as HH:MM:SS:mmm"; bad=1
    else
        local h=$((10#${BASH_REMATCH[1]})) m=$((10#${BASH_REMATCH[2]})) s=$((10#${BASH_REMATCH[3]}))
        local ms=$((10#${BASH_REMATCH[4]}))
        if (( h > 23 || m > 59 || s > 59 )); then
            echo "line 5 '$got' is no time of day"; bad=1
        else
            # The header's time is UTC, taken during the run (a second of slack either side).
            local t=$((((h * 60 + m) * 60 + s) * 1000 + ms)) day=86400000
            local from to
            from="$(cat "$WH_OUT/utc_start_ms")"; to="$(cat "$WH_OUT/utc_end_ms")"
            local since=$(( ((t - from + 1000) % day + day) % day )) span=$(( ((to - from + 2000) % day + day) % day ))
            if (( since > span )); then
                echo "line 5 '$got' is not the UTC time of the run (UTC was $(printf '%02d:%02d:%02d' \
                    $((from / 3600000)) $((from / 60000 % 60)) $((from / 1000 % 60))) to \
$(printf '%02d:%02d:%02d' $((to / 3600000)) $((to / 60000 % 60)) $((to / 1000 % 60))))"
                bad=1
            fi
        fi
    fi

    local -a identity=([9]='^   Tool version: [0-9]+\.[0-9]+\.[0-9]+\.[0-9]+$'
                       [10]='^   Command line: "?C:\\vpRemovalTool\.exe"?( .*)?$'
                       [11]='^   Account: [^\\ ]+\\[^\\]+ \(S-1-5(-[0-9]+)+\)$'
                       [12]='^   Computer: [^ ]+$')
    for i in 9 10 11 12; do
        got="$(line_of "$log" "$i")"
        [[ "$got" =~ ${identity[$i]} ]] || { echo "line $i is '$got', expected to match ${identity[$i]}"; bad=1; }
    done

    got="$(line_of "$log" 7)"
    local name found=0
    for name in "${OS_NAMES[@]}"; do
        [[ "$got" == "   $name" ]] && found=1
    done
    if (( found )); then
        NOTE="OS name: ${got#   }"
    else
        echo "line 7 is '$got', expected three blanks and one of the OS names"; bad=1
    fi
    return $bad
}

# Every line of the log ends in CR LF, and nothing else in it is a CR or LF, but for the CR that ends
# an error report's message line: the system's text keeps its own line break, which the text-mode
# write turns into CR CR LF (followed by the empty line that its LF leaves).
expect_log_line_ends() {
    need_log || return 1
    wh_python "$WH_OUT/log.txt" <<'PY'
import sys
import wh_tool
data = open(sys.argv[1], "rb").read()
problems = []
if not data.endswith(b"\r\n"):
    problems.append("the log does not end in CR LF")
for number, line in enumerate(data.split(b"\r\n")[:-1], 1):
    if line.lstrip(b" ").startswith(b"Error message: ") and line.endswith(b"\r"):
        line = line[:-1]
    if b"\r" in line or b"\n" in line:
        problems.append("line %d holds a bare CR or LF: %r" % (number, line))
wh_tool.finish(problems[:10])
PY
}

# The log's last three lines are the END banner.
expect_log_end_banner() {
    need_log || return 1
    local log="$WH_OUT/log.txt" want got
    want="$(printf '   %s\r\n   %s\r\n   %s\r\n' "$RULE79" "$END_LINE" "$RULE79" | od -An -c)"
    got="$(tail -c $(( 3 * (3 + 79 + 2) )) "$log" | od -An -c)"
    if [[ "$got" != "$want" ]]; then
        echo "the log does not end with the END banner; its last lines:"
        tail -n 5 "$log" | sed 's/^/  | /'
        return 1
    fi
}

# The console text, CR LF read as LF, equals an expected file of tests/wine/expected.
expect_console() {
    local expected="$1"
    [[ "$expected" == /* ]] || expected="$EXPECTED/$expected"
    # Wine names its Windows folder in lower case; the registry backup's folder, and the log when its
    # usual name is taken, have random names of their own in each run.
    local random='s/vpRemovalTool-\(backup-\)\{0,1\}[0-9a-f]\{16\}/vpRemovalTool-\1RANDOM/g'
    if ! sed -e 's/^\(\(Not removed\|Present\|Registry backup\): C:\\\)windows\\/\1Windows\\/' -e "$random" \
            "$WH_OUT/console.txt" | cmp -s <(sed "$random" "$expected") -; then
        echo "console differs from $expected (- expected, + got):"
        diff -u "$expected" "$WH_OUT/console.txt" | tail -n +3 | sed 's/^/  /'
        return 1
    fi
}

# A value is absent from a key of a registry export of the last run (names without letter case).
expect_no_registry_value() {
    local export="$WH_OUT/$1" key="$2" value="$3"
    if python3 - "$export" "$key" "$value" <<'PY'
import sys
export, key, value = sys.argv[1], sys.argv[2].lower(), ('"%s"=' % sys.argv[3]).lower()
inside = False
for line in open(export, encoding="utf-8"):
    line = line.rstrip("\n")
    if line.startswith("["):
        inside = line[1:-1].lower() == key
    elif inside and line.lower().startswith(value):
        print(line)
        sys.exit(0)
sys.exit(1)
PY
    then
        echo "[$key] holds the value \"$value\""
        return 1
    fi
}

# ---------------------------------------------------------------- checks: the executable itself

check_exe_is_64bit_console() {
    local headers
    headers="$("$OBJDUMP" -p "$WH_EXE")" || { echo "$OBJDUMP cannot read the executable"; return 1; }
    local bad=0
    grep -Eq '^Magic[[:space:]]+020b' <<<"$headers" || { echo "not a PE32+ (64-bit) image"; bad=1; }
    grep -Eq '^Subsystem[[:space:]]+00000003' <<<"$headers" || { echo "subsystem is not the Windows console"; bad=1; }
    return $bad
}

check_exe_imports_only_system_dlls() {
    local headers dll bad=0
    headers="$("$OBJDUMP" -p "$WH_EXE")" || { echo "$OBJDUMP cannot read the executable"; return 1; }
    local -a dlls
    mapfile -t dlls < <(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$headers")
    local allowed=" kernel32.dll advapi32.dll shell32.dll user32.dll setupapi.dll winscard.dll msi.dll msvcrt.dll ntdll.dll "
    for dll in "${dlls[@]}"; do
        if [[ "$allowed" != *" ${dll,,} "* ]]; then
            echo "imports $dll, which is not a system DLL of the tool"; bad=1
        fi
    done
    for dll in kernel32.dll msvcrt.dll; do
        [[ " ${dlls[*],,} " == *" $dll "* ]] || { echo "does not import $dll"; bad=1; }
    done
    NOTE="${dlls[*]}"
    return $bad
}

check_manifest_requires_administrator() {
    need_resources || return 1
    local -a manifests
    mapfile -t manifests < <(cd "$RESOURCES" 2>/dev/null && find 24 -type f 2>/dev/null | sort)
    if (( ${#manifests[@]} != 1 )) || [[ "${manifests[0]}" != 24/1/* ]]; then
        echo "expected exactly one RT_MANIFEST resource with id 1, found: ${manifests[*]:-none}"
        return 1
    fi
    local info
    info="$(python3 "$HERE/wh_tool.py" manifest "$RESOURCES/${manifests[0]}")" || { echo "the manifest is not valid XML"; return 1; }
    if [[ "$(grep '^requestedExecutionLevel' <<<"$info")" != "requestedExecutionLevel requireAdministrator false" ]]; then
        echo "expected one requestedExecutionLevel requireAdministrator with uiAccess false, found:"
        grep '^requestedExecutionLevel' <<<"$info" | sed 's/^/  /'
        return 1
    fi
}

check_manifest_has_no_compatibility_section() {
    need_resources || return 1
    local manifest
    manifest="$(cd "$RESOURCES" && find 24 -type f 2>/dev/null | sort | head -n 1)"
    [[ -n "$manifest" ]] || { echo "no RT_MANIFEST resource"; return 1; }
    local info
    info="$(python3 "$HERE/wh_tool.py" manifest "$RESOURCES/$manifest")" || { echo "the manifest is not valid XML"; return 1; }
    if [[ "$(grep '^compatibility' <<<"$info")" != "compatibility 0" ]]; then
        echo "the manifest has an OS compatibility section ($(grep '^compatibility' <<<"$info") elements)"
        return 1
    fi
}

check_version_resource() {
    need_resources || return 1
    local -a versions
    mapfile -t versions < <(cd "$RESOURCES" 2>/dev/null && find 16 -type f 2>/dev/null | sort)
    if (( ${#versions[@]} != 1 )); then
        echo "expected one RT_VERSION resource, found: ${versions[*]:-none}"
        return 1
    fi
    local info bad=0 entry
    info="$(python3 "$HERE/wh_tool.py" version "$RESOURCES/${versions[0]}")" || { echo "the version resource is malformed"; return 1; }
    for entry in "FIXED file=1.0.0.0 product=1.0.0.0" \
                 "CompanyName=Corvanta LLP." \
                 "ProductName=VESPARIO Drivers Removal Tool" \
                 "FileDescription=VESPARIO Drivers Removal Tool" \
                 "FileVersion=1.0.0.0" \
                 "ProductVersion=1.0.0.0" \
                 "OriginalFilename=vpRemovalTool.exe"; do
        grep -qxF "$entry" <<<"$info" || { echo "missing: $entry"; bad=1; }
    done
    for entry in InternalName LegalCopyright; do
        grep -Eq "^$entry=.+" <<<"$info" || { echo "missing: $entry"; bad=1; }
    done
    (( bad )) && { echo "the resource reads:"; sed 's/^/  /' <<<"$info"; }
    return $bad
}

# ---------------------------------------------------------------- checks: whole runs on a fresh prefix

# Run "fresh": a fresh prefix, no argument. Run "fresh_arg": a fresh prefix and an upgrade code that
# matches nothing installed.
run_fresh()     { wh_run fresh ""; }
run_fresh_arg() { wh_run fresh_arg "" "$UNKNOWN_UPGRADE_CODE"; }

check_fresh_exit_code()          { run_fresh && expect_exit_code 0; }
check_fresh_log_header()         { run_fresh && expect_log_header; }
check_fresh_log_line_ends()      { run_fresh && expect_log_line_ends; }
check_fresh_log_end_banner()     { run_fresh && expect_log_end_banner; }
check_fresh_console()            { run_fresh && expect_console console_clean.txt; }

check_fresh_arg_exit_code()      { run_fresh_arg && expect_exit_code 0; }
check_fresh_arg_log_header()     { run_fresh_arg && expect_log_header; }
check_fresh_arg_log_end_banner() { run_fresh_arg && expect_log_end_banner; }
check_fresh_arg_console()        { run_fresh_arg && expect_console console_clean.txt; }
# Nothing matches the upgrade code: no quiet uninstall is scheduled.
check_fresh_arg_no_runonce() {
    run_fresh_arg && expect_no_registry_value hklm.txt \
        'HKEY_LOCAL_MACHINE\Software\Wow6432Node\Microsoft\Windows\CurrentVersion\RunOnce' remove \
        && expect_no_registry_value hklm.txt \
        'HKEY_LOCAL_MACHINE\Software\Microsoft\Windows\CurrentVersion\RunOnce' remove
}

# Help, and each argument the tool does not know, on a fresh prefix with an earlier run's log: the
# usage text (and "Unknown argument: TEXT"), nothing changed (the earlier log byte for byte, no other
# file of the tool in TEMP), exit 0 for help and 1639 otherwise, whose low byte, 103, is what a Linux
# process sees of Wine's exit status.
ARGUMENT_LOG=$'a line of an earlier run\r\n'
run_arguments() {
    local name="$1"
    shift
    local dir="$WH_ROOT/arguments-scenario"
    if [[ ! -d "$dir" ]]; then
        mkdir -p "$dir/drive_c/windows/temp" || return 1
        printf '%s' "$ARGUMENT_LOG" >"$dir/drive_c/windows/temp/vpRemovalTool.txt"
    fi
    wh_run "$name" "$dir" "$@"
}

expect_arguments_refused() {
    local exit_code="$1" unknown="$2" bad=0 log others
    expect_exit_code "$exit_code" || bad=1
    { cat "$EXPECTED/usage.txt"; [[ -n "$unknown" ]] && printf 'Unknown argument: %s\n' "$unknown"; } \
        >"$WH_OUT/expected-console.txt"
    expect_console "$WH_OUT/expected-console.txt" || bad=1
    if ! log="$(wh_prefix_file 'windows\temp\vpRemovalTool.txt')" || ! cmp -s "$log" <(printf '%s' "$ARGUMENT_LOG"); then
        echo "the earlier run's log is gone or changed"
        bad=1
    fi
    others="$(find "$WH_PREFIX/drive_c/windows/temp" -maxdepth 1 -iname 'vpRemovalTool*' -printf '%f\n' | tr '\n' ' ')"
    [[ "$others" == "vpRemovalTool.txt " ]] || { echo "the tool's files in temp: $others"; bad=1; }
    return $bad
}

check_arguments_help()      { run_arguments arguments_help '/?' && expect_arguments_refused 0 ""; }
check_arguments_typo()      { run_arguments arguments_typo --check && expect_arguments_refused 103 --check; }
check_arguments_misspelt()  { run_arguments arguments_misspelt /chek && expect_arguments_refused 103 /chek; }
check_arguments_not_a_code() {
    run_arguments arguments_not_a_code '{not-a-code}' && expect_arguments_refused 103 '{not-a-code}'
}
check_arguments_two_codes() {
    run_arguments arguments_two_codes "$UNKNOWN_UPGRADE_CODE" "$UNKNOWN_UPGRADE_CODE" \
        && expect_arguments_refused 103 "$UNKNOWN_UPGRADE_CODE"
}

# ---------------------------------------------------------------- checks: whole runs on the scenario machines

# machines/clean: unrelated software only; the run finds nothing, so console and exit code are those
# the scenario expects.
run_clean() { wh_run clean "$MACHINES/clean"; }

check_clean_exit_code()      { run_clean && expect_exit_code "$(tr -d '\r\n ' <"$MACHINES/clean/expected/exit-code.txt")"; }
check_clean_log_header()     { run_clean && expect_log_header; }
check_clean_log_end_banner() { run_clean && expect_log_end_banner; }
check_clean_console()        { run_clean && expect_console "$MACHINES/clean/expected/console.txt"; }

# machines/demo: the product installed beside unrelated software; machine.ini holds vpCSP.dll of
# system32 open (hold_open.exe) and makes vpPKCS11.dll of syswow64 read-only. The scenario's arguments
# (expected/arguments.txt: the bundle's upgrade code), as the simulated run has them. The restrictive security of the readers' key ([security]) is
# not made under Wine (see harness.sh): there the key keeps the prefix's own owner and list, which let
# the tool set both directly. Right after the run, in its session, key_security.exe reads the readers'
# key's owner and access list back into readers_security.txt.
demo_read_security() {
    wh_in_session key_security.exe show 'HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Cryptography\Calais\Readers' \
        >"$WH_OUT/readers_security.txt"
}
# Right after the demo run, in the same session (the restart list still waiting), the check mode as an
# administrator would run it next.
demo_after_run() {
    demo_read_security
    ( cd "$WH_PREFIX/drive_c" && WINEPREFIX="$WH_PREFIX" TZ="$WH_TZ" timeout 120 wine 'C:\vpRemovalTool.exe' /check \
          </dev/null >"$WH_OUT/check_after.raw" 2>>"$WH_OUT/stderr.txt"
      echo $? >"$WH_OUT/check_after_exit_code" )
}
run_demo() {
    local arguments
    arguments="$(tr -d '\r\n' <"$MACHINES/demo/expected/arguments.txt")"
    WH_ACCEPT_MISSING="security" WH_AFTER_RUN=demo_after_run tool_run demo "$MACHINES/demo" $arguments
}

# Wine gives every file and folder the same security: owned by the Wine user, with full control for
# that user and SYSTEM and read and run for Everyone. On Windows that is a folder a program made
# without elevation, which ordinary users' programs of that account may change: the tool removes no
# folder tree below it and schedules nothing there. The simulated runs that the Wine runs are compared
# with are given the same drive root (its list passed on to everything) and the same owner for every
# file and folder, so both refuse alike, and neither counts what the Wine user owns as the product's.
WINE_ROOT_SECURITY='file=C:\ sddl=O:S-1-5-21-0-0-0-1000D:(A;OICI;FA;;;SY)(A;OICI;FA;;;S-1-5-21-0-0-0-1000)(A;OICI;0x1200a9;;;WD)'
wine_like() {
    printf '\n[security]\n%s\n' "$WINE_ROOT_SECURITY" >>"$1/machine.ini"
    # Wine keeps no other owner: every file and folder of the drive is the Wine user's (machine.ini
    # names paths up to MAX_PATH; what lies deeper is below a folder that is the Wine user's).
    (cd "$1/drive_c" && find . -mindepth 1 | sed -e 's|^\./||' -e 's|/|\\|g' | awk 'length($0) < 256' \
        | sed -e 's|^\(.*\)$|file=C:\\\1 sddl=O:S-1-5-21-0-0-0-1000|') >>"$1/machine.ini"
}

# The tool under Wine that trusts the Wine user as owner. Wine's ownership stops the real executable
# from removing any folder tree and from scheduling anything for the restart, so the Wine checks of
# those calls run vpRemovalTool-wine-test.exe (built beside it by the windows preset, for these checks
# only): the tool but for its folder-safety object, which also counts the Wine user
# (S-1-5-21-0-0-0-1000) as a trusted owner. It runs as C:\vpRemovalTool.exe. The simulated runs it is
# compared with are those of vpsim-wine-test (linux preset), built with the same object, on the same
# Wine-like machines. A check runs it by calling its own check through `trusting`, which makes the
# runs (their names end in "_trusting") and the simulated runs it makes use these two.
VPSIM="${VPSIM:-$SOURCE_DIR/build/linux/vpsim}"
VPSIM_WINE_TEST="${VPSIM_WINE_TEST:-$SOURCE_DIR/build/linux/vpsim-wine-test}"
TRUSTING=""
trusting() {
    local rc
    TRUSTING=1
    "$@"
    rc=$?
    TRUSTING=""
    return $rc
}
# The run NAME of the executable in use: tool_run NAME SCENARIO [ARG...].
tool_run() {
    local name="$1"
    shift
    if [[ -z "$TRUSTING" ]]; then
        wh_run "$name" "$@"
        return
    fi
    local program="$WH_ROOT/wine-test/vpRemovalTool.exe" built
    built="$(dirname "$WH_EXE")/vpRemovalTool-wine-test.exe"
    if [[ ! -f "$program" ]]; then
        [[ -f "$built" ]] || { echo "$built is missing (it is built beside the tool by the windows preset)"; return 1; }
        cmp -s "$built" "$WH_EXE" && { echo "$built is the tool itself"; return 1; }
        mkdir -p "$WH_ROOT/wine-test" && cp "$built" "$program" || return 1
    fi
    wh_run_program "${name}_trusting" "$1" "$program" "${@:2}"
}
# vpsim of the executable in use: sim_run [ARG...] (its exit code is the tool's); the folder of the
# simulated runs: sim_dir NAME.
sim_run() {
    local vpsim="$VPSIM"
    [[ -n "$TRUSTING" ]] && vpsim="$VPSIM_WINE_TEST"
    [[ -x "$vpsim" ]] || { echo "$vpsim is missing (it is built with the linux preset)" >&2; return 125; }
    "$vpsim" "$@"
}
sim_dir() { echo "$WH_ROOT/$1${TRUSTING:+_trusting}"; }  # WH_ROOT is made when the checks start

# The demo machine with Wine's file security, run on the simulated machine: what the demo checks
# expect of the Wine run (log, console, exit code).
DEMO_SIM=""
demo_sim() {
    DEMO_SIM="$(sim_dir demo_sim)"
    if [[ ! -f "$DEMO_SIM/sim/exit-code.txt" ]]; then
        mkdir -p "$DEMO_SIM"
        rm -rf "$DEMO_SIM/scenario"
        cp -r "$MACHINES/demo" "$DEMO_SIM/scenario" && rm -rf "$DEMO_SIM/scenario/expected" || return 1
        wine_like "$DEMO_SIM/scenario"
        local arguments
        arguments="$(tr -d '\r\n' <"$MACHINES/demo/expected/arguments.txt")"
        sim_run run "$DEMO_SIM/scenario" --out "$DEMO_SIM/sim" -- $arguments >/dev/null
        [[ -f "$DEMO_SIM/sim/exit-code.txt" ]] || return 1
        find "$DEMO_SIM/sim/drive_c" -ipath '*/windows/temp/vpRemovalTool.txt' -exec cp {} "$DEMO_SIM/log.txt" \;
    fi
}

# The check mode on the demo machine before a removal and right after one: the same verdict (exit
# code) and the same lines as on the simulated machine with Wine's file security. Wine shows its own
# copy of HKLM\SOFTWARE\Classes in the 32-bit view (Windows shares the key), where the product's
# installer dependency key is not: one item fewer, in the count that follows the first 20 and in the
# summary's count of items not removed.
check_demo_check_before() {
    demo_sim || return 1
    if [[ ! -f "$DEMO_SIM/check_before/exit-code.txt" ]]; then
        sim_run run "$DEMO_SIM/scenario" --out "$DEMO_SIM/check_before" -- /check >/dev/null
        [[ -f "$DEMO_SIM/check_before/exit-code.txt" ]] || return 1
        awk '/^Present: [0-9]+ more items$/ { print "Present: " $2 - 1 " more items"; next }
             /^Summary: .*; items not removed: [0-9]+$/ { n = $NF; sub(/[0-9]+$/, n - 1); print; next }
             { print }' \
            "$DEMO_SIM/check_before/console.txt" >"$DEMO_SIM/check_before/wine-console.txt"
    fi
    WH_ACCEPT_MISSING="security" tool_run demo_check "$MACHINES/demo" /check || return 1
    expect_exit_code "$(tr -d '\r\n ' <"$DEMO_SIM/check_before/exit-code.txt")" &&
        expect_console "$DEMO_SIM/check_before/wine-console.txt"
}
check_demo_check_after() {
    demo_sim && run_demo || return 1
    [[ -f "$DEMO_SIM/check_after/exit-code.txt" ]] ||
        sim_run run "$DEMO_SIM/sim" --out "$DEMO_SIM/check_after" -- /check >/dev/null
    [[ -f "$DEMO_SIM/check_after/exit-code.txt" ]] || return 1
    local want got
    want="$(tr -d '\r\n ' <"$DEMO_SIM/check_after/exit-code.txt")"
    got="$(cat "$WH_OUT/check_after_exit_code")"
    [[ "$got" == "$want" ]] || { echo "exit code $got, expected $want"; return 1; }
    # Wine names its Windows folder in lower case.
    if ! tr -d '\r' <"$WH_OUT/check_after.raw" | sed 's/^\(\(Not removed\|Present\): C:\\\)windows\\/\1Windows\\/' |
        cmp -s "$DEMO_SIM/check_after/console.txt" -; then
        echo "console of the check differs from $DEMO_SIM/check_after/console.txt (- expected, + got):"
        tr -d '\r' <"$WH_OUT/check_after.raw" | diff -u "$DEMO_SIM/check_after/console.txt" - | tail -n +3 | sed 's/^/  /'
        return 1
    fi
}

# The demo machine with registry links planted in the maker's key (as an ordinary user who may write it
# could): to another product's key, to the whole SYSTEM\CurrentControlSet\Services of the prefix and
# (in the 32-bit view) to one service key without subkeys, which a deletion by name would take. The
# links go as links, logged like keys; every target keeps all its keys and values: the registry after
# the run holds the same Services tree and Orbis key as after the plain demo run.
run_demo_links() {
    local scenario="$WH_ROOT/demo_links"
    if [[ ! -d "$scenario" ]]; then
        cp -r "$MACHINES/demo" "$scenario" && rm -rf "$scenario/expected" || return 1
        printf '\n[registry]\n%s\n%s\n%s\n' \
            'link=HKEY_LOCAL_MACHINE\SOFTWARE\Corvanta LLP.\VESPARIO\Runtime target=HKEY_LOCAL_MACHINE\SOFTWARE\Orbis\Runtime' \
            'link=HKEY_LOCAL_MACHINE\SOFTWARE\Corvanta LLP.\Services target=HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services' \
            'link=HKEY_LOCAL_MACHINE\SOFTWARE\Wow6432Node\Corvanta LLP.\VESPARIO\Leaf target=HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\VpLeaf' \
            >>"$scenario/machine.ini"
        printf '\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\VpLeaf]\n"Type"=dword:00000010\n\n' \
            >>"$scenario/registry.reg"
    fi
    WH_ACCEPT_MISSING="security" wh_run demo_links "$scenario"
}

check_demo_links_go_as_links() {
    run_demo || return 1
    local plain="$WH_OUT/hklm.txt"
    run_demo_links || return 1
    demo_sim && expect_exit_code "$(tr -d '\r\n ' <"$DEMO_SIM/sim/exit-code.txt")" || return 1
    local line bad=0
    for line in 'Corvanta LLP.\Services' 'Corvanta LLP.\VESPARIO\Runtime' 'Corvanta LLP.\VESPARIO\Leaf'; do
        grep -qF "Deleting registry key:  $line"$'\r' "$WH_OUT/log.txt" || { echo "no log line for $line"; bad=1; }
    done
    if grep -i '^\[HKEY_LOCAL_MACHINE\\SOFTWARE\\\(Wow6432Node\\\)\?Corvanta LLP\.' "$WH_OUT/hklm.txt"; then
        echo "a key of the maker is left"; bad=1
    fi
    # The targets: the same keys and values as after the plain run (the leaf service added here aside).
    python3 - "$plain" "$WH_OUT/hklm.txt" <<'PY' || bad=1
import sys
def part(path):
    keep, out = False, []
    for line in open(path, encoding="utf-8"):
        if line.startswith("["):
            name = line.strip().lower()
            keep = ("\\currentcontrolset\\services" in name or "\\controlset001\\services" in name
                    or name.startswith("[hkey_local_machine\\software\\orbis"))
            keep = keep and "\\services\\vpleaf" not in name
        if keep:
            out.append(line)
    return out
plain, linked = part(sys.argv[1]), part(sys.argv[2])
if not plain:
    print("no Services or Orbis keys in the plain run's export"); sys.exit(1)
if plain != linked:
    print("the targets changed: %d lines after the plain run, %d after the run with links" % (len(plain), len(linked)))
    sys.exit(1)
PY
    grep -qi '^\[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\VpLeaf\]' "$WH_OUT/hklm.txt" \
        || { echo "the leaf service key is gone"; bad=1; }
    NOTE="$(wc -l <"$WH_OUT/links.txt") links"
    return $bad
}

# vpCSP.dll of system32 is in use: exit code 1 and the reboot lines on the console.
check_demo_exit_code()       { demo_sim && run_demo && expect_exit_code "$(tr -d '\r\n ' <"$DEMO_SIM/sim/exit-code.txt")"; }
check_demo_console()         { demo_sim && run_demo && expect_console "$DEMO_SIM/sim/console.txt"; }
check_demo_log_header()      { run_demo && expect_log_header; }
check_demo_log_end_banner()  { run_demo && expect_log_end_banner; }
check_demo_log_line_ends()   { run_demo && expect_log_line_ends; }

# hold_open.exe marked the read-only file, held the locked one through the whole run and let go after it.
check_demo_files_held_during_run() {
    run_demo || return 1
    local want got
    want="$(printf '%s\n' 'read-only C:\windows\syswow64\vpPKCS11.dll' 'open C:\windows\system32\vpCSP.dll' holding released)"
    got="$(tr -d '\r' <"$WH_OUT/hold_open.txt" 2>/dev/null)"
    if [[ "$got" != "$want" || "$(cat "$WH_OUT/hold_open_exit_code" 2>/dev/null)" != 0 ]]; then
        echo "hold_open.exe (exit code $(cat "$WH_OUT/hold_open_exit_code" 2>/dev/null)) wrote:"
        sed 's/^/  | /' <<<"$got"
        return 1
    fi
}

# The log lines of a stage compared with the scenario's expected log (made on the simulated Windows).
# Both go through wh_tool.log_stage, which removes what differs between Windows and Wine and is no
# fault: the indentation, the trace lines of Wine's stale last error, the letter case of C:\windows.
# The folder listings (the Inf folder, the company folder) come in the host file system's order under
# Wine, not in name order: the parts that follow a listing are compared without their order, with
# the order rules of the stage checked on their own.

# OEM stage: the search line, for each .inf candidate its reading line, verdict and (for oem2, oem3,
# oem4) its "Required file:" line; the uninstall lines in the order the scan found the names. Wine's
# IsTextUnicode has been seen to call a short ANSI .inf with CR LF line ends Unicode; the demo's ANSI
# files (673 bytes and more) are judged ANSI, and a changed verdict fails here by name.
check_demo_log_oem_stage() {
    demo_sim && run_demo && need_log || return 1
    wh_python "$DEMO_SIM/log.txt" "$WH_OUT/log.txt" <<'PY'
import sys
import wh_tool

FIRST, LAST = "Removing precompiled OEM files...", "Precompiled OEM files removed."

def parse(lines):
    blocks, uninstalls, stray = [], [], []
    for line in lines[2:-1]:
        if line.startswith("Reading oem file:"):
            if uninstalls:
                stray.append(line)
            else:
                blocks.append((line,))
        elif line.startswith("Uninstalling OEM file:"):
            uninstalls.append(line)
        elif blocks and not uninstalls:
            blocks[-1] += (line,)
        else:
            stray.append(line)
    return lines[:2], blocks, uninstalls, stray

expected, got = wh_tool.log_stages(sys.argv[1], sys.argv[2], FIRST, LAST, "OEM stage")
e_head, e_blocks, e_uninstalls, _ = parse(expected)
g_head, g_blocks, g_uninstalls, g_stray = parse(got)
bad = []
if g_head != e_head:
    bad.append("opening lines %r, expected %r" % (g_head, e_head))
if g_stray:
    bad.append("lines outside the stage's structure: %r" % g_stray)
for block in sorted(set(e_blocks) - set(g_blocks)):
    bad.append("missing: %s" % " | ".join(block))
for block in sorted(set(g_blocks) - set(e_blocks)):
    bad.append("not expected: %s" % " | ".join(block))
if len(g_blocks) != len(set(g_blocks)):
    bad.append("a candidate was read twice")
required = [line[len("Required file:"):].strip() for block in g_blocks for line in block
            if line.startswith("Required file:")]
if g_uninstalls != ["Uninstalling OEM file:  " + name for name in required]:
    bad.append("uninstall lines %r do not follow the found names %r in order" % (g_uninstalls, required))
if sorted(g_uninstalls) != sorted(e_uninstalls):
    bad.append("uninstall lines %r, expected %r in some order" % (g_uninstalls, e_uninstalls))
wh_tool.finish(bad, got)
PY
}

# Driver binaries stage: the deferred deletion of vpCSP.dll, the company folder's "Removed:" lines
# (children before their folder), the read-only handling of syswow64\vpPKCS11.dll; nothing else.
# The read-only traces are written only after DeleteFileW failed with 5: so Wine refuses to delete a
# file marked read-only, as Windows does.
check_demo_log_binaries_stage() {
    demo_sim && run_demo && need_log || return 1
    wh_python "$DEMO_SIM/log.txt" "$WH_OUT/log.txt" <<'PY'
import sys
import wh_tool

FIRST, LAST = "Deleting driver binaries...", "Driver binaries deleted."
REMOVED = "Removed:  "

def split(lines):
    """The lines with the run of "Removed:" lines replaced by one marker, and that run."""
    positions = [i for i, line in enumerate(lines) if line.startswith("Removed")]
    removed = [lines[i] for i in positions]
    rest = [line for line in lines if not line.startswith("Removed")]
    contiguous = positions == list(range(positions[0], positions[0] + len(positions))) if positions else True
    if positions:
        rest.insert(positions[0], "<%d Removed lines>" % len(positions))
    return rest, removed, contiguous

expected, got = wh_tool.log_stages(sys.argv[1], sys.argv[2], FIRST, LAST, "driver binaries stage")
e_rest, e_removed, _ = split(expected)
g_rest, g_removed, contiguous = split(got)
bad = []
if g_rest != e_rest:
    bad.append("the stage's lines (the company folder's folded into one) differ:")
    bad += ["  expected | " + line for line in e_rest]
    bad += ["  got      | " + line for line in g_rest]
if not contiguous:
    bad.append("the company folder's Removed lines are not one run")
if sorted(g_removed) != sorted(e_removed):
    bad.append("company folder lines, expected (in some order):")
    bad += ["  | " + line for line in sorted(e_removed)]
paths = [line[len(REMOVED):] if line.startswith(REMOVED) else line for line in g_removed]
for index, path in enumerate(paths):
    for later in paths[index + 1:]:
        if later.lower().startswith(path.lower() + "\\"):
            bad.append("%s is logged after its folder %s" % (later, path))
wh_tool.finish(bad, got)
PY
}

# Files and folders of machines/demo that the run removes (paths below drive_c, "/" for "\").
# Everything else of the scenario's drive_c must be there afterwards with the same bytes.
DEMO_BINARIES=(vpAPI.dll vpAPIex.dll vpAPIi.dll vpAPIiCOM.dll vpAPIlt.dll vpCSP.dll vpCSP.sig vpErr.dll
               vpGrTools.dll vpICCSP.dll vpLib.dll vpMiniDrv.dll vpMiniDrv32.dll vpMiniDrv64.dll vpPKCS11.dll
               vpPKCS11ECP.dll vpPrCSP.dll vpPrCSP.sig)
DEMO_PROGRAMS="ProgramData/Microsoft/Windows/Start Menu/Programs"
DEMO_SHORTCUTS=("VESPARIO Control Panel.lnk" "Панель управления VESPARIO.lnk")
demo_removed() {
    local name
    printf '%s\n' windows/inf/oem2.inf windows/inf/oem3.inf windows/inf/oem4.inf
    for name in "${DEMO_BINARIES[@]}"; do
        # vpCSP.dll of system32 is held open during the run: scheduled for the restart, still there.
        [[ "$name" != vpCSP.dll ]] && echo "windows/system32/$name"
        echo "windows/syswow64/$name"
    done
    for name in "${DEMO_SHORTCUTS[@]}"; do
        echo "users/Public/Desktop/$name"
        echo "$DEMO_PROGRAMS/VESPARIO/$name"
        echo "$DEMO_PROGRAMS/ВЕСПАРИО/$name"
    done
    echo "$DEMO_PROGRAMS/VESPARIO"
    echo "windows/system32/Corvanta LLP"
    # The installer caches: the company's cache folder and the package-cache folders that directly
    # hold a name with "vpDrivers".
    echo "ProgramData/Corvanta LLP"
    echo "ProgramData/Package Cache/{94AA1CE4-42A6-49B0-910E-5FAC3C5D70F6}v3.4.1.207"
    echo "ProgramData/Package Cache/{D31C5999-DC0F-4449-9558-FC927AD644A2}"
}

# Prints each of the given paths below the prefix's drive_c that exists (names without letter case).
present_of() {
    wh_python "$WH_PREFIX/drive_c" "$@" <<'PY'
import sys
import wh_tool
for relative in sys.argv[2:]:
    if wh_tool.find_path_ci(sys.argv[1], relative) is not None:
        print(relative)
PY
}

# Fails with a list when one of the given paths is still there.
expect_gone() {
    local left
    left="$(present_of "$@")"
    [[ -z "$left" ]] && return 0
    echo "still there:"; sed 's/^/  /' <<<"$left"
    return 1
}

# Fails with a list when one of the given paths is missing.
expect_present() {
    local there missing
    there="$(present_of "$@")"
    missing="$(printf '%s\n' "$@" | grep -vxF -f <(printf '%s\n' "$there") )"
    [[ -z "$missing" ]] && return 0
    echo "missing:"; sed 's/^/  /' <<<"$missing"
    return 1
}

# oem2, oem3 and oem4 (the product's packages) are uninstalled; the other packages and the non-OEM
# .inf files stay. Wine's SetupUninstallOEMInfW deletes the .inf but leaves its .pnf: under Wine the
# .pnf files of the removed packages are still there (Windows, and the simulated machine, remove them).
check_demo_inf_files() {
    run_demo || return 1
    local bad=0
    expect_gone windows/inf/oem2.inf windows/inf/oem3.inf windows/inf/oem4.inf || bad=1
    expect_present windows/inf/oem2.pnf windows/inf/oem3.pnf windows/inf/oem4.pnf \
        windows/inf/oem0.inf windows/inf/oem0.pnf windows/inf/oem1.inf windows/inf/oem1.pnf \
        windows/inf/oem5.inf windows/inf/oem5.pnf windows/inf/usbccid.inf windows/inf/usbccid.pnf \
        windows/inf/usbport.inf windows/inf/usbport.pnf || bad=1
    return $bad
}

# The 18 binaries are gone from system32 and syswow64 (the read-only vpPKCS11.dll of syswow64
# included), except system32\vpCSP.dll, which was held open.
check_demo_binaries() {
    run_demo || return 1
    local bad=0 name
    local -a gone=()
    for name in "${DEMO_BINARIES[@]}"; do
        [[ "$name" != vpCSP.dll ]] && gone+=("windows/system32/$name")
        gone+=("windows/syswow64/$name")
    done
    expect_gone "${gone[@]}" || bad=1
    expect_present windows/system32/vpCSP.dll || bad=1
    return $bad
}

# The control-panel shortcuts are gone from the public desktop and both Programs-menu folders; the
# VESPARIO folder is gone (empty afterwards), ВЕСПАРИО stays with its user guide.
check_demo_shortcuts() {
    run_demo || return 1
    local bad=0 name
    local -a gone=("$DEMO_PROGRAMS/VESPARIO")
    for name in "${DEMO_SHORTCUTS[@]}"; do
        gone+=("users/Public/Desktop/$name" "$DEMO_PROGRAMS/ВЕСПАРИО/$name")
    done
    expect_gone "${gone[@]}" || bad=1
    expect_present "$DEMO_PROGRAMS/ВЕСПАРИО/Руководство пользователя VESPARIO.lnk" \
        "users/Public/Desktop/Lumenleaf PDF Reader.lnk" "$DEMO_PROGRAMS/Lumenleaf PDF Reader.lnk" || bad=1
    return $bad
}

# The company folder of system32 is left with everything in it: under Wine the drive's folders are
# the Wine user's (see wine_like).
check_demo_company_folder() {
    run_demo && need_log || return 1
    [[ -n "$(wh_prefix_file 'windows\system32\Corvanta LLP\VESPARIO\vpControlPanel.exe')" ]] \
        || { echo "the company folder of system32 is gone"; return 1; }
    # Wine names its Windows folder in lower case.
    grep -qiF 'Left alone (C:\ is owned by S-1-5-21-0-0-0-1000): C:\Windows\system32\Corvanta LLP.' "$WH_OUT/log.txt" \
        || { echo "no line says why the company folder stays"; return 1; }
}

# Registry stages: the settings, identity and cleanup lines as on the simulated Windows, Windows
# Installer's answer under Wine included. Wine enumerates values sorted by name (Windows in creation
# order): each run of value deletions (a "Deleting registry value:" line and its "REGSAM:" line) is
# compared without its order.
check_demo_log_registry_stages() {
    demo_sim && run_demo && need_log || return 1
    wh_python "$DEMO_SIM/log.txt" "$WH_OUT/log.txt" <<'PY'
import sys
import wh_tool

FIRST, LAST = "Unregistering settings in HKEY_LOCAL_MACHINE...", "Registry cleaned from drivers."

def fold_value_runs(lines):
    out, run, i = [], [], 0
    while i < len(lines):
        if lines[i].startswith("Deleting registry value:") and i + 1 < len(lines) and lines[i + 1].startswith("REGSAM:"):
            run.append(lines[i] + " | " + lines[i + 1])
            i += 2
            continue
        if run:
            out += sorted(run)
            run = []
        out.append(lines[i])
        i += 1
    return out + sorted(run)

expected, got = wh_tool.log_stages(sys.argv[1], sys.argv[2], FIRST, LAST, "registry stages")
e, g = fold_value_runs(expected), fold_value_runs(got)
if e != g:
    import difflib
    for line in difflib.unified_diff(e, g, "expected", "got", lineterm="", n=1):
        print("  " + line)
    sys.exit(1)
PY
}

# Caches stage: the lines of the simulated Windows, in the host's listing order under Wine; every
# "Removed:" path comes after the paths below it.
check_demo_log_caches_stage() {
    demo_sim && run_demo && need_log || return 1
    wh_python "$DEMO_SIM/log.txt" "$WH_OUT/log.txt" <<'PY'
import sys
import wh_tool

FIRST, LAST = "Deleting all caches...", "All caches deleted."
expected, got = wh_tool.log_stages(sys.argv[1], sys.argv[2], FIRST, LAST, "caches stage")
bad = []
if sorted(got) != sorted(expected):
    bad.append("the stage's lines differ (in some order), expected:")
    bad += ["  | " + line for line in expected]
paths = [line[len("Removed:  "):] for line in got if line.startswith("Removed:  ")]
for index, path in enumerate(paths):
    for later in paths[index + 1:]:
        if later.lower().startswith(path.lower() + "\\"):
            bad.append("%s is logged after its folder %s" % (later, path))
wh_tool.finish(bad, got, "got:")
PY
}

# Every file of machines/demo/drive_c that the run does not remove is still there, bytes unchanged:
# the near-miss and other vendors' files of the system folders, the other shortcuts, the other
# software's package-cache folders.
check_demo_other_files_unchanged() {
    run_demo || return 1
    wh_python "$MACHINES/demo/drive_c" "$WH_PREFIX/drive_c" <(demo_removed) <<'PY'
import sys
import wh_tool
scenario, prefix = sys.argv[1], sys.argv[2]
removed = [line.rstrip("\n").lower() for line in open(sys.argv[3], encoding="utf-8") if line.strip()]
def is_removed(relative):
    folded = relative.lower()
    return any(folded == r or folded.startswith(r + "/") for r in removed)
kept = [f for f in wh_tool.files_below(scenario) if not is_removed(f)]
bad = []
for relative in kept:
    found = wh_tool.find_path_ci(prefix, relative)
    if found is None or not __import__("os").path.isfile(found):
        bad.append("missing: " + relative)
    elif open(found, "rb").read() != open(scenario + "/" + relative, "rb").read():
        bad.append("changed: " + relative)
# Each removal names a file or folder of the scenario: a slip in the list cannot hide a whole tree.
known = set()
for f in wh_tool.files_below(scenario):
    parts = f.lower().split("/")
    known.update("/".join(parts[:n]) for n in range(1, len(parts) + 1))
bad += ["the list of removals names %s, which the scenario does not have" % r for r in removed if r not in known]
wh_tool.finish(bad)
PY
}

# The held file is not scheduled for deletion at the restart: its folders are the Wine user's (see
# wine_like), and the log says so. PendingFileRenameOperations holds nothing.
check_demo_pending_deletion() {
    run_demo && need_log || return 1
    grep -qiF 'Not scheduled for deletion at the restart (C:\ is owned by S-1-5-21-0-0-0-1000): C:\Windows\system32\vpCSP.dll' \
        "$WH_OUT/log.txt" || { echo "no line says why vpCSP.dll is not scheduled"; return 1; }
    wh_python "$WH_OUT/hklm.txt" <<'PY'
import sys
import wh_tool
value = wh_tool.reg_value(sys.argv[1], r"HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\Session Manager",
                          "PendingFileRenameOperations")
if value is not None and [v for v in value[1] if v]:
    print("PendingFileRenameOperations is %r, expected nothing" % (value,))
    sys.exit(1)
PY
}

# Smart-card stage. Wine has no Smart Card service: SCardEstablishContext answers 0x80100001
# (SCARD_F_INTERNAL_ERROR) for each of the ten cards (Wine has no message text for it, so the report
# has no "Error message:" line), and each card's registration is then deleted in both views by the
# registry deletion. The provider's part is that of the simulated run.
check_demo_log_smart_card_stage() {
    demo_sim && run_demo && need_log || return 1
    wh_python "$DEMO_SIM/log.txt" "$WH_OUT/log.txt" <<'PY'
import sys
import wh_tool

FIRST, LAST = "Unregistering smart cards...", "Smart cards unregistered."
PARENT = "SOFTWARE\\Microsoft\\Cryptography\\Calais\\SmartCards"
CARDS = ["VESPARIO", "VESPARIO FKC", "VESPARIO SC", "VESPARIO SC T0", "VESPARIO SC T1", "VESPARIO lite",
         "VESPARIO lite SC", "VESPARIO lite SC T0", "VESPARIO lite SC T1", "VESPARIO lite SD"]
simulated, got = wh_tool.log_stages(sys.argv[1], sys.argv[2], FIRST, LAST, "smart-card stage")
expected = [FIRST]
for card in CARDS:
    expected += ["Error occurred in function: SCardEstablishContext", "Error occurred in function: Error source 1(0x1)",
                 "Error occurred in function: Error code   -2146435071(0x80100001)",
                 "Cleaning scard registration in registry...",
                 "Deleting registry keys in path (KEY_SET_VALUE):  " + PARENT, "Deleting registry key:  " + card,
                 "Deleting registry keys in path (KEY_SET_VALUE | KEY_WOW64_32KEY):  " + PARENT,
                 "Deleting registry key:  " + card]
expected += simulated[simulated.index("vpRemovalTool.exe!Unregister_Provider"):]
# A message text, should Wine ever have one, is no fault: its line and the empty line after it go.
cleaned, i = [], 0
while i < len(got):
    if got[i].startswith("Error message: ") and i + 1 < len(got) and got[i + 1] == "":
        i += 2
        continue
    cleaned.append(got[i])
    i += 1
if cleaned != expected:
    print("the stage differs:")
    print("\n".join("  expected | " + line for line in expected))
    print("\n".join("  got      | " + line for line in cleaned))
    sys.exit(1)
PY
}

# Both rights passes ran and set owner and list without a report: the rights log lines are there and
# no SetNamedSecurityInfo or SetProcessPrivilege report is.
check_demo_log_rights() {
    run_demo && need_log || return 1
    local log="$WH_OUT/log.txt" bad=0 line
    for line in 'Setting rights to Calais\Readers (SE_REGISTRY_KEY)' \
                'Setting rights to Calais\Readers in wow6432 registry (SE_REGISTRY_WOW64_32KEY)'; do
        grep -qxF "      $line"$'\r' "$log" || { echo "no line '$line' at six blanks"; bad=1; }
    done
    if grep -E 'Error occurred in function: (SetNamedSecurityInfo|SetProcessPrivilege|SetEntriesInAcl|AllocateAndInitializeSid)' "$log"; then
        echo "the rights stage reported a failure"; bad=1
    fi
    return $bad
}

# The readers' key afterwards, read in the tool's session: Administrators own it, and its list holds
# exactly the two entries (Local Service read, write and delete; Administrators full access), both
# inherited by subkeys and objects. Wine keeps no inherited entries of the parent in the list.
check_demo_readers_security() {
    run_demo || return 1
    local want='HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Cryptography\Calais\Readers O:BAD:(A;OICI;CCDCLCSWRPSDRC;;;LS)(A;OICI;GA;;;BA)'
    local got
    got="$(cat "$WH_OUT/readers_security.txt" 2>/dev/null)"
    if [[ "$got" != "$want" ]]; then
        echo "key_security.exe read: '$got'"
        echo "expected:              '$want'"
        return 1
    fi
}

# The way back: in the demo run's Wine session the registry is exported right before the run, and
# right after it the run's backup is imported with "wine reg import" (so the harness's exports show
# the registry restored). Every key and value of the export before the run is back with its type and
# data; what the run added (its RunOnce value, the restart list) is all that differs, beside the
# display keys Wine itself adds below Control\Video meanwhile.
demo_export_before() {
    local root
    for root in hklm hkcu; do
        WINEPREFIX="$WH_PREFIX" wine reg export "${root^^}" "C:\\vp-before-$root.reg" /y >>"$WH_OUT/stderr.txt" 2>&1
        mv "$WH_PREFIX/drive_c/vp-before-$root.reg" "$WH_OUT/before-$root.reg"
    done
}
demo_import_backup() {
    local backup path
    # The backup the console names (its folder has a random name).
    path="$(tr -d '\r' <"$WH_OUT/console.raw" | sed -n 's/^Registry backup: //p' | head -n 1)"
    if [[ "$path" == [Cc]:\\* ]] && backup="$(wh_prefix_file "${path:3}")"; then
        cp "$backup" "$WH_OUT/backup.reg"
        WINEPREFIX="$WH_PREFIX" wine reg import "$path" >"$WH_OUT/import.txt" 2>&1
        echo "exit $?" >>"$WH_OUT/import.txt"
    else
        echo "no backup file" >"$WH_OUT/import.txt"
    fi
}
run_demo_restore() {
    WH_ACCEPT_MISSING="security" WH_BEFORE_RUN=demo_export_before WH_AFTER_RUN=demo_import_backup \
        wh_run demo_restore "$MACHINES/demo"
}
check_demo_backup_restores_the_registry() {
    run_demo_restore || return 1
    grep -q '^exit 0$' "$WH_OUT/import.txt" || { echo "wine reg import:"; cat "$WH_OUT/import.txt"; return 1; }
    python3 "$HERE/wh_tool.py" restored "$WH_OUT/before-hklm.reg" "$WH_OUT/hklm.reg" \
        "$WH_OUT/before-hkcu.reg" "$WH_OUT/hkcu.reg" \
        'hkey_local_machine\software\wow6432node\microsoft\windows\currentversion\runonce :: remove' \
        'hkey_local_machine\system\currentcontrolset\control\session manager :: pendingfilerenameoperations' \
        'hkey_local_machine\system\currentcontrolset\control\video\*'
}

# ---------------------------------------------------------------- checks: the whole removal on a full installation

# The demo machine with nothing held open, given the bundle's upgrade code in small letters: the whole
# removal runs and nothing asks for a restart. The same scenario and argument also run on the
# simulated machine (vpsim), and what the two runs leave of the scenario is compared item by item.
FULL_ARG="{2a9f6e13-4b7c-4e85-9d20-b5c8e1f4a763}"
FULL_QUIET='"C:\ProgramData\Package Cache\{D31C5999-DC0F-4449-9558-FC927AD644A2}\vpDriversSetup.exe" /uninstall /quiet'
run_full() {
    local dir
    dir="$(sim_dir full)"
    if [[ ! -d "$dir/sim" ]]; then
        mkdir -p "$dir"
        rm -rf "$dir/scenario"
        cp -r "$MACHINES/demo" "$dir/scenario"
        # Nothing held open; the readers' key keeps the prefix's own security, which a Wine run
        # cannot make restrictive (the simulated run then sets owner and list directly, as Wine does).
        sed -i -e '/^locked=/d' -e '/^key=.* sddl=/d' "$dir/scenario/machine.ini"
        wine_like "$dir/scenario"
        sim_run run "$dir/scenario" --out "$dir/sim" -- "$FULL_ARG" >/dev/null
        [[ -f "$dir/sim/exit-code.txt" ]] || return 1
    fi
    tool_run full "$dir/scenario" "$FULL_ARG"
}

check_full_exit_code()      { run_full && expect_exit_code "$(tr -d '\r\n ' <"$(sim_dir full)/sim/exit-code.txt")"; }
check_full_console()        { run_full && expect_console "$(sim_dir full)/sim/console.txt"; }
check_full_log_end_banner() { run_full && expect_log_end_banner; }

# Every key, value, file and folder of the scenario is gone after both runs or after neither: the
# product's registrations, settings, caches and SharedDLLs values go, every near miss and every other
# product's item stays. Where Wine differs from Windows, the difference is named here and skipped:
#   .pnf     Wine's SetupUninstallOEMInfW leaves the package's .pnf file (Windows removes it).
check_full_same_changes_as_simulated() {
    run_full && python3 "$HERE/wh_tool.py" compare "$(sim_dir full)/scenario" "$(sim_dir full)/sim" \
        "$WH_PREFIX/drive_c" "$WH_OUT/hklm.txt" "$WH_OUT/hkcu.txt" .pnf
}

# The bundle's quiet uninstall is not scheduled: its program lies below folders that are the Wine
# user's (see wine_like), and the log says so. The 32-bit RunOnce key keeps the bundle's own resume
# value, and neither RunOnce key has "remove".
check_full_runonce() {
    run_full && need_log || return 1
    grep -qF "Quiet uninstall not scheduled (C:\\ is owned by S-1-5-21-0-0-0-1000): $FULL_QUIET" "$WH_OUT/log.txt" \
        || { echo "no line says why the quiet uninstall is not scheduled"; return 1; }
    wh_python "$WH_OUT/hklm.txt" <<'PY'
import sys
import wh_tool
export = sys.argv[1]
wow = r"HKEY_LOCAL_MACHINE\Software\Wow6432Node\Microsoft\Windows\CurrentVersion\RunOnce"
native = r"HKEY_LOCAL_MACHINE\Software\Microsoft\Windows\CurrentVersion\RunOnce"
bad = []
for key in (wow, native):
    if wh_tool.reg_value(export, key, "remove") is not None:
        bad.append(key + " holds a value remove")
if wh_tool.reg_value(export, wow, "{D31C5999-DC0F-4449-9558-FC927AD644A2}") is None:
    bad.append("the bundle's resume value is gone from " + wow)
wh_tool.finish(bad)
PY
}

# ---------------------------------------------------------------- checks: a tree with paths past MAX_PATH

# The clean machine with a tree below the company's folder of ProgramData whose paths grow to 400
# characters. Under Wine the drive's folders are the Wine user's (see wine_like): the tree is left
# alone, with the same line as on the simulated machine given the same security, and all of it stays
# (the removal of such a tree is shown on the simulated machine and, for the calls it makes past
# MAX_PATH, by tests/conformance/walk_conformance.cpp under Wine).
run_deep() {
    local dir
    dir="$(sim_dir deep)"
    if [[ ! -d "$dir/sim" ]]; then
        mkdir -p "$dir"
        rm -rf "$dir/scenario"
        cp -r "$MACHINES/clean" "$dir/scenario"
        local folder="$dir/scenario/drive_c/ProgramData/Corvanta LLP" n
        for n in 1 2 3 4 5 6; do
            folder="$folder/Level-$n$(printf 'x%.0s' {1..53})"
            mkdir -p "$folder"
            echo "data $n" >"$folder/file-$n.dat"
        done
        wine_like "$dir/scenario"
        sim_run run "$dir/scenario" --out "$dir/sim" >/dev/null
        [[ -f "$dir/sim/exit-code.txt" ]] || return 1
    fi
    tool_run deep "$dir/scenario"
}

check_deep_tree_left_alone() {
    run_deep && need_log || return 1
    [[ -n "$(wh_prefix_file "ProgramData\\Corvanta LLP\\Level-1$(printf "x%.0s" {1..53})\\file-1.dat")" ]] \
        || { echo "the tree is gone"; return 1; }
    local simulated
    simulated="$(find "$(sim_dir deep)/sim/drive_c" -ipath '*/windows/temp/vpRemovalTool.txt' | head -n 1)"
    diff <(tr -d '\r' <"$simulated" | grep -F 'ProgramData\Corvanta LLP' | sed 's/^ *//' | sort) \
         <(tr -d '\r' <"$WH_OUT/log.txt" | grep -F 'ProgramData\Corvanta LLP' | sed 's/^ *//' | sort) || return 1
    grep -qF 'Left alone (C:\ is owned by S-1-5-21-0-0-0-1000): C:\ProgramData\Corvanta LLP' "$WH_OUT/log.txt" \
        || { echo "no line says why the tree stays"; return 1; }
}

# ---------------------------------------------------------------- checks: the whole removal, the Wine user trusted

# vpRemovalTool-wine-test.exe (see trusting) runs the demo, full and deep scenarios: the folder trees
# go, the file in use waits for the restart and the quiet uninstall is scheduled, through the same
# Windows calls as the tool's on a machine whose folders an administrator owns. Compared with
# vpsim-wine-test on the same Wine-like machines, as the checks above compare the tool with vpsim.
check_trusting_demo_console()                { trusting check_demo_console; }
check_trusting_demo_log_end_banner()         { trusting check_demo_log_end_banner; }
check_trusting_demo_log_oem_stage()          { trusting check_demo_log_oem_stage; }
check_trusting_demo_log_binaries_stage()     { trusting check_demo_log_binaries_stage; }
check_trusting_demo_log_registry_stages()    { trusting check_demo_log_registry_stages; }
check_trusting_demo_log_caches_stage()       { trusting check_demo_log_caches_stage; }
check_trusting_demo_log_smart_card_stage()   { trusting check_demo_log_smart_card_stage; }
check_trusting_demo_inf_files()              { trusting check_demo_inf_files; }
check_trusting_demo_binaries()               { trusting check_demo_binaries; }
check_trusting_demo_shortcuts()              { trusting check_demo_shortcuts; }
check_trusting_demo_other_files_unchanged()  { trusting check_demo_other_files_unchanged; }
check_trusting_demo_check_before()           { trusting check_demo_check_before; }
check_trusting_demo_check_after()            { trusting check_demo_check_after; }
check_trusting_full_exit_code()              { trusting check_full_exit_code; }
check_trusting_full_console()                { trusting check_full_console; }
check_trusting_full_log_end_banner()         { trusting check_full_log_end_banner; }
check_trusting_full_same_changes_as_simulated() { trusting check_full_same_changes_as_simulated; }

# vpCSP.dll of system32 is in use: the run asks for a restart and exits with 1, as the simulated run does.
check_trusting_demo_exit_code() {
    trusting demo_sim && trusting run_demo || return 1
    local simulated
    simulated="$(tr -d '\r\n ' <"$DEMO_SIM/sim/exit-code.txt")"
    [[ "$simulated" == 1 ]] || { echo "the simulated run exits with $simulated, expected 1"; return 1; }
    expect_exit_code 1
}

# The company folders go with everything in them (system32's and ProgramData's), and so does the
# package's cache folder; the bundle's cache folder stays for its quiet uninstall, locked down without
# a report. The log leaves nothing alone.
check_trusting_demo_company_folders() {
    trusting run_demo && need_log || return 1
    local bad=0
    expect_gone "windows/system32/Corvanta LLP" "ProgramData/Corvanta LLP" \
        "ProgramData/Package Cache/{94AA1CE4-42A6-49B0-910E-5FAC3C5D70F6}v3.4.1.207" || bad=1
    expect_present "ProgramData/Package Cache/{D31C5999-DC0F-4449-9558-FC927AD644A2}/vpDriversSetup.exe" || bad=1
    grep -qF "Kept (the bundle's quiet uninstall runs from it):  C:\ProgramData\Package Cache\{D31C5999-DC0F-4449-9558-FC927AD644A2}"$'\r' \
        "$WH_OUT/log.txt" || { echo "no line keeps the bundle's cache folder"; bad=1; }
    if grep -E 'Left alone|Not locked down|Error occurred in function: SetSecurityInfo' "$WH_OUT/log.txt"; then
        echo "the log leaves a folder alone or does not lock one down"; bad=1
    fi
    return $bad
}

# The held file is scheduled for deletion at the restart, and it alone: PendingFileRenameOperations
# holds the pair ("\??\C:\windows\system32\vpCSP.dll", "") (path compared without letter case); the
# file itself is still there. Wine also accepts a delayed deletion of a missing path, which Windows
# refuses; in this run the tool defers nothing else (both Programs-menu folders exist and ВЕСПАРИО is
# not empty), so any further entry would be a fault.
check_trusting_demo_pending_deletion() {
    trusting run_demo && need_log || return 1
    if grep -F 'Not scheduled for deletion at the restart' "$WH_OUT/log.txt"; then
        echo "the log refuses a deletion at the restart"; return 1
    fi
    expect_present windows/system32/vpCSP.dll || return 1
    wh_python "$WH_OUT/hklm.txt" <<'PY'
import sys
import wh_tool
value = wh_tool.reg_value(sys.argv[1], r"HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\Session Manager",
                          "PendingFileRenameOperations")
want = ["\\??\\c:\\windows\\system32\\vpcsp.dll", ""]
if value is None:
    print("no PendingFileRenameOperations under Session Manager")
    sys.exit(1)
if value[0] != "multi_sz" or [v.lower() for v in value[1]] != want:
    print("PendingFileRenameOperations is %r, expected REG_MULTI_SZ %r" % (value, want))
    sys.exit(1)
PY
}

# The bundle's quiet uninstall command waits in the 32-bit RunOnce key as "remove"; the bundle's own
# resume value named after its product code is gone, and the native RunOnce key has no "remove". The
# package-cache folder it runs from is kept, locked down without a report.
check_trusting_full_runonce() {
    trusting run_full && need_log || return 1
    local bad=0
    if grep -E 'Quiet uninstall not scheduled|Error occurred in function: SetSecurityInfo' "$WH_OUT/log.txt"; then
        echo "the quiet uninstall was not scheduled, or its folder not locked down"; bad=1
    fi
    wh_python "$WH_OUT/hklm.txt" "$FULL_QUIET" <<'PY' || bad=1
import sys
import wh_tool
export, quiet = sys.argv[1], sys.argv[2]
wow = r"HKEY_LOCAL_MACHINE\Software\Wow6432Node\Microsoft\Windows\CurrentVersion\RunOnce"
native = r"HKEY_LOCAL_MACHINE\Software\Microsoft\Windows\CurrentVersion\RunOnce"
bad = []
if wh_tool.reg_value(export, wow, "remove") != ("sz", quiet):
    bad.append("%s\\remove is %r, expected %r" % (wow, wh_tool.reg_value(export, wow, "remove"), quiet))
if wh_tool.reg_value(export, wow, "{D31C5999-DC0F-4449-9558-FC927AD644A2}") is not None:
    bad.append("the bundle's resume value is still in " + wow)
if wh_tool.reg_value(export, native, "remove") is not None:
    bad.append(native + " holds a value remove")
wh_tool.finish(bad)
PY
    return $bad
}

# The tree with paths past MAX_PATH goes whole (the calls are given the "\\?\" form past MAX_PATH),
# and the log names the same entries, in their ordinary form, as the simulated run (Wine lists in the
# host's order, so the lines are compared sorted and without their indentation).
check_trusting_deep_tree_removed() {
    trusting run_deep && need_log || return 1
    expect_gone "ProgramData/Corvanta LLP" || return 1
    local simulated
    simulated="$(find "$(trusting sim_dir deep)/sim/drive_c" -ipath '*/windows/temp/vpRemovalTool.txt' | head -n 1)"
    diff <(tr -d '\r' <"$simulated" | grep -F 'ProgramData\Corvanta LLP' | sed 's/^ *//' | sort) \
         <(tr -d '\r' <"$WH_OUT/log.txt" | grep -F 'ProgramData\Corvanta LLP' | sed 's/^ *//' | sort) || return 1
    local lines
    lines="$(tr -d '\r' <"$WH_OUT/log.txt" | grep -c 'Removed: .*Level-6')"
    (( lines == 2 )) || { echo "expected 2 lines for the deepest level, found $lines"; return 1; }
    NOTE="$(tr -d '\r' <"$WH_OUT/log.txt" | grep 'Removed: ' | awk '{ print length($0) }' | sort -n | tail -n 1) characters at most"
}

# ---------------------------------------------------------------- checks: the log's name taken

# The clean machine with a file planted at the log's name, held open by another process for the whole
# run (hold_open.exe): without sharing (locked=), or for reading and writing, sharing both but not
# deletion (open= share=rw). The run cannot delete it, so its log is the first free other name, which
# the console's first line names (Wine's Windows folder is C:\windows); the planted file keeps its bytes.
LOG_PLANTED=$'planted by an ordinary user\r\n'
run_log_taken() {
    local name="$1" key="$2" dir="$WH_ROOT/$1"
    if [[ ! -d "$dir" ]]; then
        cp -r "$MACHINES/clean" "$dir" && rm -rf "$dir/expected" || return 1
        printf '%s' "$LOG_PLANTED" >"$dir/drive_c/windows/temp/vpRemovalTool.txt"
        printf '\n[files]\n%s\n' "$key" >>"$dir/machine.ini"
        { printf '%s\n' 'Log file: C:\windows\TEMP\vpRemovalTool-RANDOM.txt'; cat "$MACHINES/clean/expected/console.txt"; } \
            >"$WH_ROOT/$1-console.txt"
    fi
    wh_run "$name" "$dir"
}

expect_log_elsewhere() {
    local name="$1" planted bad=0
    expect_exit_code "$(tr -d '\r\n ' <"$MACHINES/clean/expected/exit-code.txt")" || bad=1
    expect_console "$WH_ROOT/$name-console.txt" || bad=1
    expect_log_header || bad=1
    expect_log_end_banner || bad=1
    if ! planted="$(wh_prefix_file 'windows\temp\vpRemovalTool.txt')" || ! cmp -s "$planted" <(printf '%s' "$LOG_PLANTED"); then
        echo "the planted file at the log's name is gone or changed"
        bad=1
    fi
    local others
    # Beside the logs, the backup of the readers' key security, which every run changes.
    others="$(find "$WH_PREFIX/drive_c/windows/temp" -maxdepth 1 -iname 'vpRemovalTool*' -printf '%f\n' \
        | sed 's/[0-9a-f]\{16\}/RANDOM/' | LC_ALL=C sort | tr '\n' ' ')"
    [[ "$others" == "vpRemovalTool-RANDOM.txt vpRemovalTool-backup-RANDOM vpRemovalTool.txt " ]] \
        || { echo "log files in temp: $others"; bad=1; }
    return $bad
}

check_log_locked_gets_another_name() {
    run_log_taken log_locked 'locked=C:\windows\temp\vpRemovalTool.txt' && expect_log_elsewhere log_locked
}
check_log_shared_gets_another_name() {
    run_log_taken log_shared 'open=C:\windows\temp\vpRemovalTool.txt share=rw' && expect_log_elsewhere log_shared || return 1
    grep -qx 'open C:\\windows\\temp\\vpRemovalTool.txt share=rw' <(tr -d '\r' <"$WH_OUT/hold_open.txt") \
        || { echo "hold_open.exe did not hold the file with sharing:"; sed 's/^/  | /' "$WH_OUT/hold_open.txt"; return 1; }
}

# ---------------------------------------------------------------- checks: the collection of users' profiles

# collect-machine.cmd with Wine's cmd and reg on a prefix whose profile list names, beside the Wine
# user (collected as HKEY_CURRENT_USER), a user logged on (hive loaded below HKEY_USERS, with the maker's
# key and another vendor's), one whose NTUSER.DAT is not loaded, one without NTUSER.DAT, a backup
# entry and LocalSystem. Wine's reg has no load or unload: the hive not loaded is noted in collect.log
# and nothing of it is written (on Windows it is loaded, exported and unloaded).
check_collect_user_profiles() {
    local scenario="$WH_ROOT/collect-profiles" list='HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows NT\CurrentVersion\ProfileList'
    mkdir -p "$scenario/drive_c/users/erin" "$scenario/drive_c/users/frank" "$scenario/drive_c/users/erin.old"
    printf 'not a hive' >"$scenario/drive_c/users/erin/NTUSER.DAT"
    printf 'not a hive' >"$scenario/drive_c/users/erin.old/NTUSER.DAT"
    {
        printf 'Windows Registry Editor Version 5.00\r\n'
        local entry
        for entry in 'S-1-5-21-0-0-0-1002=C:\\users\\carl' 'S-1-5-21-0-0-0-1003=C:\\users\\erin' \
                     'S-1-5-21-0-0-0-1004=C:\\users\\frank' 'S-1-5-21-0-0-0-1003.bak=C:\\users\\erin.old'; do
            printf '\r\n[%s\\%s]\r\n"ProfileImagePath"="%s"\r\n' "$list" "${entry%%=*}" "${entry#*=}"
        done
        printf '\r\n[HKEY_USERS\\S-1-5-21-0-0-0-1002\\Software\\Corvanta LLP.\\VESPARIO]\r\n"Language"="de"\r\n'
        printf '\r\n[HKEY_USERS\\S-1-5-21-0-0-0-1002\\Software\\Lumenleaf]\r\n"Zoom"="100"\r\n'
    } >"$scenario/registry.reg"
    wh_run_program collect_profiles "$scenario" "$(cd "$SOURCE_DIR" && pwd)/tools/collect-machine.cmd" 'C:\collected' || return 1
    [[ "$(cat "$WH_OUT/exit_code")" == 0 ]] || { echo "collect-machine.cmd ended with $(cat "$WH_OUT/exit_code")"; return 1; }
    local collected ok=1
    collected="$(wh_prefix_file 'collected')" || { echo "no C:\collected"; return 1; }
    # The loaded hive: its root, and its maker's key alone.
    grep -qxF '[HKEY_USERS\S-1-5-21-0-0-0-1002]' <(tr -d '\r' <"$collected/registry/70-user-S-1-5-21-0-0-0-1002.reg" 2>/dev/null) \
        || { echo "the loaded hive's root is not in registry/70-user-S-1-5-21-0-0-0-1002.reg"; ok=0; }
    local maker
    maker="$(python3 "$WH_DIR/wh_tool.py" utf16 "$collected/registry/71-user-maker-S-1-5-21-0-0-0-1002.reg" 2>/dev/null)"
    grep -qxF '[HKEY_USERS\S-1-5-21-0-0-0-1002\Software\Corvanta LLP.\VESPARIO]' <<<"$maker" && ! grep -q Lumenleaf <<<"$maker" \
        || { echo "the loaded hive's maker's key is not exported alone:"; sed 's/^/  | /' <<<"$maker"; ok=0; }
    # Only the loaded user's files in registry/; no hive file written; the profile not loaded noted.
    local others
    others="$(cd "$collected/registry" && ls | grep -E '^7' | grep -v 'S-1-5-21-0-0-0-1002\.reg$')"
    [[ -z "$others" ]] || { echo "other users' files: $others"; ok=0; }
    [[ -z "$(find "$collected/drive_c" -iname 'ntuser.dat')" ]] || { echo "a hive file was written"; ok=0; }
    local log
    log="$(tr -d '\r' <"$collected/collect.log" | grep -E '^(not loaded|no NTUSER|left loaded)')"
    [[ "$log" == $'not loaded: C:\\users\\erin\\NTUSER.DAT\nno NTUSER.DAT: S-1-5-21-0-0-0-1004 C:\\users\\frank' ]] \
        || { echo "collect.log on the profiles:"; sed 's/^/  | /' <<<"$log"; ok=0; }
    (( ok ))
}

# ---------------------------------------------------------------- checks: a user's hive file

# The clean machine with a profile that is not logged on: its NTUSER.DAT, made in the run's session by
# hive_file.exe (RegSaveKey), holds the maker's key and another vendor's. The real tool loads it under a
# name of its own, deletes the maker's key there and unloads it: no vpRemovalTool-* hive is left below
# HKEY_USERS. Wine does not write a hive loaded with RegLoadKey back to its file (Windows does, the
# hive being that file): afterwards the file holds what it held (hive_file.exe show, RegLoadKey), so
# the verification loads it again, finds the maker's key and names it ("Not removed: ..."), exit code 3.
HIVE_SID='S-1-5-21-0-0-0-1005'
hive_before_run() {
    wh_in_session hive_file.exe make 'C:\users\gina\NTUSER.DAT' >"$WH_OUT/hive_make.txt"
}
hive_after_run() {
    wh_in_session hive_file.exe show 'C:\users\gina\NTUSER.DAT' >"$WH_OUT/hive_show.txt"
    wh_in_session hive_file.exe users >"$WH_OUT/hive_users.txt"
}
check_user_hive_file_cleaned() {
    local dir="$WH_ROOT/user_hive_file"
    if [[ ! -d "$dir" ]]; then
        cp -r "$MACHINES/clean" "$dir" && rm -rf "$dir/expected" || return 1
        mkdir -p "$dir/drive_c/users/gina/Desktop"
        printf '\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList\\%s]\n"ProfileImagePath"="C:\\\\users\\\\gina"\n' \
            "$HIVE_SID" >>"$dir/registry.reg"
    fi
    WH_BEFORE_RUN=hive_before_run WH_AFTER_RUN=hive_after_run wh_run user_hive_file "$dir" || return 1
    local bad=0
    [[ ! -s "$WH_OUT/hive_make.txt" ]] || { echo "hive_file.exe make: $(cat "$WH_OUT/hive_make.txt")"; return 1; }
    expect_exit_code 3 || bad=1
    if [[ "$(cat "$WH_OUT/hive_show.txt")" != $'SOFTWARE\nSOFTWARE\\Corvanta LLP.\nSOFTWARE\\Corvanta LLP.\\VESPARIO\nSOFTWARE\\Lumenleaf\nSOFTWARE\\Lumenleaf\\Reader' ]]; then
        echo "the hive file holds afterwards (Wine: what it held before):"
        sed 's/^/  | /' "$WH_OUT/hive_show.txt"
        bad=1
    fi
    if grep -qi '^vpRemovalTool-' "$WH_OUT/hive_users.txt" || ! grep -qx 'S-1-5-21-0-0-0-1000' "$WH_OUT/hive_users.txt"; then
        echo "HKEY_USERS after the run (a hive left loaded, or the list not read):"; sed 's/^/  | /' "$WH_OUT/hive_users.txt"
        bad=1
    fi
    # The profile's part of the log, and the verification's lines.
    local log want
    log="$(tr -d '\r' <"$WH_OUT/log.txt" 2>/dev/null | sed 's/^ *//')"
    want="Unregistering settings in HKEY_USERS\\$HIVE_SID (C:\\users\\gina)...
Loading the user's hive:  C:\\users\\gina\\NTUSER.DAT
Deleting registry keys in path (KEY_SET_VALUE):  SOFTWARE
Deleting registry key:  Corvanta LLP.\\VESPARIO
Deleting registry key:  Corvanta LLP.
Deleting registry keys in path (KEY_SET_VALUE | KEY_WOW64_32KEY):  SOFTWARE
Settings unregistered."
    if [[ "$(grep -A6 -F "Unregistering settings in HKEY_USERS\\$HIVE_SID" <<<"$log")" != "$want" ]]; then
        echo "the profile's part of the log differs (- expected, + found):"
        diff <(echo "$want") <(grep -A6 -F "Unregistering settings in HKEY_USERS\\$HIVE_SID" <<<"$log") | sed 's/^/  | /'
        bad=1
    fi
    if [[ "$(grep '^Not removed' <<<"$log")" != "Not removed: HKEY_USERS\\$HIVE_SID\\SOFTWARE\\Corvanta LLP.
Not removed: HKEY_USERS\\$HIVE_SID\\SOFTWARE\\Corvanta LLP. (32-bit view)" ]]; then
        echo "the verification's lines:"; grep '^Not removed' <<<"$log" | sed 's/^/  | /'
        bad=1
    fi
    grep -qE 'Not cleaned|Left loaded|RegLoadKey|RegUnLoadKey|AdjustTokenPrivileges' <<<"$log" \
        && { echo "the log reports a failure:"; grep -E 'Not cleaned|Left loaded|RegLoadKey|RegUnLoadKey|AdjustTokenPrivileges' <<<"$log" | sed 's/^/  | /'; bad=1; }
    return $bad
}

# ---------------------------------------------------------------- checks: the MinGW build's own C runtime pieces

# mingw_crt_check.exe (built beside the tool by the windows preset) exercises the local fread_s on the
# real msvcrt streams and prints one "ok"/"FAIL" line per case.
check_mingw_fread_s() {
    local program
    program="$(dirname "$WH_EXE")/mingw_crt_check.exe"
    [[ -f "$program" ]] || { echo "$program is missing (it is built with the windows preset)"; return 1; }
    wh_run_program crt_check "" "$program"
    local cases
    cases="$(grep -c '^ok ' "$WH_OUT/console.txt")"
    if [[ "$(cat "$WH_OUT/exit_code")" != 0 ]] || grep -qv '^ok ' "$WH_OUT/console.txt" || (( cases != 9 )); then
        echo "exit code $(cat "$WH_OUT/exit_code"), $cases of 9 cases ok:"
        head -n 20 "$WH_OUT/console.txt" | sed 's/^/  | /'
        return 1
    fi
}

# ---------------------------------------------------------------- runner

CHECKS=(
    collect_user_profiles
    user_hive_file_cleaned
    exe_is_64bit_console
    exe_imports_only_system_dlls
    manifest_requires_administrator
    manifest_has_no_compatibility_section
    version_resource
    mingw_fread_s
    fresh_exit_code
    fresh_log_header
    fresh_log_line_ends
    fresh_log_end_banner
    fresh_console
    fresh_arg_exit_code
    fresh_arg_log_header
    fresh_arg_log_end_banner
    fresh_arg_console
    fresh_arg_no_runonce
    arguments_help
    arguments_typo
    arguments_misspelt
    arguments_not_a_code
    arguments_two_codes
    clean_exit_code
    clean_log_header
    clean_log_end_banner
    clean_console
    demo_exit_code
    demo_console
    demo_log_header
    demo_log_end_banner
    demo_log_line_ends
    demo_files_held_during_run
    demo_log_oem_stage
    demo_log_binaries_stage
    demo_log_registry_stages
    demo_log_caches_stage
    demo_inf_files
    demo_binaries
    demo_shortcuts
    demo_company_folder
    demo_other_files_unchanged
    demo_pending_deletion
    demo_log_smart_card_stage
    demo_log_rights
    demo_readers_security
    demo_links_go_as_links
    demo_check_before
    demo_check_after
    demo_backup_restores_the_registry
    full_exit_code
    full_console
    full_log_end_banner
    full_same_changes_as_simulated
    full_runonce
    deep_tree_left_alone
    trusting_demo_exit_code
    trusting_demo_console
    trusting_demo_log_end_banner
    trusting_demo_log_oem_stage
    trusting_demo_log_binaries_stage
    trusting_demo_log_registry_stages
    trusting_demo_log_caches_stage
    trusting_demo_log_smart_card_stage
    trusting_demo_inf_files
    trusting_demo_binaries
    trusting_demo_shortcuts
    trusting_demo_company_folders
    trusting_demo_other_files_unchanged
    trusting_demo_pending_deletion
    trusting_demo_check_before
    trusting_demo_check_after
    trusting_full_exit_code
    trusting_full_console
    trusting_full_log_end_banner
    trusting_full_same_changes_as_simulated
    trusting_full_runonce
    trusting_deep_tree_removed
    log_locked_gets_another_name
    log_shared_gets_another_name
)

wh_setup "$EXE"
if (( ${#SELECTED[@]} )); then
    for name in "${SELECTED[@]}"; do
        declare -F "check_$name" >/dev/null || wh_fail "no check named '$name' (see CHECKS in $0)"
    done
    CHECKS=("${SELECTED[@]}")
fi

if [[ -n "${WH_RESULTS_DIR:-}" ]]; then
    rm -rf "$WH_RESULTS_DIR"
    mkdir -p "$WH_RESULTS_DIR"
fi
passed=0
failed=0
for name in "${CHECKS[@]}"; do
    NOTE=""
    # In this shell, not a subshell: runs, the template prefix and NOTE are shared between checks.
    "check_$name" >"$WH_ROOT/check.out" 2>&1
    rc=$?
    if (( rc == 0 )); then
        passed=$((passed + 1))
        echo "PASS $name${NOTE:+ ($NOTE)}"
    else
        failed=$((failed + 1))
        echo "FAIL $name"
        sed 's/^/     /' "$WH_ROOT/check.out"
    fi
    if [[ -n "${WH_RESULTS_DIR:-}" ]]; then
        cp "$WH_ROOT/check.out" "$WH_RESULTS_DIR/$name.out"
        if (( rc == 0 )); then echo PASS; else echo FAIL; fi >"$WH_RESULTS_DIR/$name.status"
    fi
done
echo "$passed passed, $failed failed"
[[ -n "${WH_RESULTS_DIR:-}" ]] || (( failed == 0 ))
