# Wine harness: runs the real vpRemovalTool.exe in throw-away 64-bit Wine prefixes.
# Source this file from bash; it defines wh_* functions and keeps its state in WH_* variables.
#
#   wh_setup EXE            check wine and the executable, make the run's temporary folder (removed on exit)
#   wh_run NAME SCENARIO [ARG...]
#                           fresh prefix NAME (copy of the template, made once per run), seeded from the
#                           scenario folder (empty text: no seeding), then C:\vpRemovalTool.exe ARG...;
#                           WH_OUT names the folder of collected results, WH_PREFIX the prefix after the run.
#                           A second call with the same NAME reuses the first one's results.
#   wh_run_program NAME SCENARIO PROGRAM [ARG...]
#                           the same for another Windows program (run as C:\<its file name>)
#   wh_prefix_file 'windows\x'
#                           the host path of a file of the last run's drive C: (names without letter case)
#
# A scenario's machine.ini: [os] is not applied (Wine answers with its own version). Of [files],
# locked=PATH, open=PATH share=LETTERS and read_only=PATH are arranged by hold_open.exe (built beside
# the tool), started in the run's Wine session before the program and stopped after it: it marks the
# read_only files read-only, opens the locked ones without sharing and the open ones for reading and
# writing with the sharing their letters name, and holds them for the whole run. junction=, [registry]
# protected= and [faults] cannot be made under Wine: such a scenario is refused (wh_run returns 1 and
# prints why) unless the caller accepts running without them, naming them in WH_ACCEPT_MISSING
# ("junction", "protected", "faults", "security"), e.g.  WH_ACCEPT_MISSING="junction" wh_run NAME SCENARIO.
# [registry] link= below HKEY_LOCAL_MACHINE is made before the run by key_security.exe (WH_LINKS); a
# link below HKEY_CURRENT_USER cannot be (its target names the user's SID) and is refused.
# [security] key= is not applied either: Wine keeps a key's owner and access list, but does not let an
# enabled SeTakeOwnershipPrivilege override the list, so a restrictive key cannot be taken over there.
# WH_AFTER_RUN names a function that runs in the same Wine session right after the program (before
# the registry export), WH_BEFORE_RUN one that runs in it right before the program; they may call
# wh_in_session.
#
# Environment: WH_KEEP=1 keeps the temporary folder (prefixes and results) for a look afterwards;
# WH_TZ is the host time zone Wine runs in.
#
# Collected in $WH_OUT:
#   console.raw   standard output as the program wrote it     console.txt   the same with CR LF -> LF
#   stderr.txt    Wine's own messages                          exit_code     the process exit code
#   log.txt       C:\windows\temp\vpRemovalTool.txt, or the file the console's first line names
#                 ("Log file: PATH") when the run's log took another name; bytes kept (absent when
#                 the run wrote no log)
#   hklm.reg, hkcu.reg   `wine reg export` after the run (UTF-16LE, as Wine writes them)
#   hklm.txt, hkcu.txt   the same exports as UTF-8 with LF line ends, for grep
#   utc_start_ms, utc_end_ms   UTC milliseconds since midnight just before and just after the run
#   hold_open.txt, hold_open_exit_code   hold_open.exe's output and exit code (when the scenario
#                 has locked or read-only files)

WH_DIR="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
WH_ROOT=""
WH_EXE=""
WH_TEMPLATE=""
WH_PREFIX=""
WH_OUT=""
WH_PREFIXES=()
# Wine reads the host's time zone: a zone away from UTC makes a local-time slip visible in the log.
WH_TZ="${WH_TZ:-Asia/Kolkata}"

wh_fail() {
    echo "wine harness: $*" >&2
    exit 1
}

wh_cleanup() {
    local prefix
    for prefix in "${WH_PREFIXES[@]}"; do
        WINEPREFIX="$prefix" wineserver -k >/dev/null 2>&1
    done
    for prefix in "${WH_PREFIXES[@]}"; do
        WINEPREFIX="$prefix" wineserver -w >/dev/null 2>&1
    done
    if [[ -n "$WH_ROOT" && -d "$WH_ROOT" && -z "${WH_KEEP:-}" ]]; then
        rm -rf "$WH_ROOT"
    elif [[ -n "$WH_ROOT" ]]; then
        echo "wine harness: kept $WH_ROOT" >&2
    fi
}

wh_setup() {
    local exe="$1" tool
    for tool in wine wineserver wineboot python3; do
        command -v "$tool" >/dev/null 2>&1 || wh_fail "'$tool' is not installed; the Wine tests need it (Debian: wine64)"
    done
    [[ -n "$exe" ]] || wh_fail "no executable given"
    [[ -f "$exe" ]] || wh_fail "executable $exe is missing (build it: cmake --preset windows && cmake --build --preset windows)"
    WH_EXE="$(cd "$(dirname "$exe")" && pwd)/$(basename "$exe")"
    WH_ROOT="$(mktemp -d "${TMPDIR:-/tmp}/vp-wine.XXXXXX")" || wh_fail "cannot make a temporary folder"
    trap wh_cleanup EXIT
    trap 'exit 130' INT TERM
    mkdir -p "$WH_ROOT/out"
    export WINEARCH=win64 WINEDEBUG=-all
    # No Mono or Gecko installation dialogs while the prefix is made.
    export WINEDLLOVERRIDES="mscoree=;mshtml="
    unset DISPLAY WAYLAND_DISPLAY
}

# The template prefix, made once per test run.
wh_template() {
    [[ -n "$WH_TEMPLATE" ]] && return 0
    [[ -n "$WH_ROOT" ]] || wh_fail "wh_setup was not called"
    local template="$WH_ROOT/template"
    WH_PREFIXES+=("$template")
    WINEPREFIX="$template" wineboot --init >"$WH_ROOT/wineboot.log" 2>&1 \
        || wh_fail "wineboot --init failed (see $WH_ROOT/wineboot.log)"
    # A crash ends the process at once, exit code the exception code's low byte (0xC0000005 gives 5):
    # the crash debugger named here does not exist, so no winedbg report lands on the console; the
    # one-line notice of the crash goes to stderr.txt.
    WINEPREFIX="$template" wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' \
        /v Debugger /d 'C:\no-crash-debugger.exe' /f >>"$WH_ROOT/wineboot.log" 2>&1 \
        || wh_fail "cannot switch off winedbg in the template prefix"
    WINEPREFIX="$template" wineserver -w
    [[ -f "$template/system.reg" && -d "$template/drive_c/windows/system32" ]] \
        || wh_fail "wineboot made no usable prefix in $template"
    WH_TEMPLATE="$template"
}

# A fresh prefix NAME, copied from the template. The builtin libraries of system32 are hard links into
# the template (no test writes them; seeding replaces files instead of writing through), the rest is copied.
wh_new_prefix() {
    local name="$1"
    wh_template
    WH_PREFIX="$WH_ROOT/prefix/$name"
    [[ -e "$WH_PREFIX" ]] && wh_fail "prefix $name exists already"
    mkdir -p "$WH_ROOT/prefix"
    mkdir -p "$WH_PREFIX"
    tar -C "$WH_TEMPLATE" --exclude=./drive_c/windows/system32 -cf - . | tar -C "$WH_PREFIX" -xpf - \
        || wh_fail "cannot copy the template prefix"
    cp -al "$WH_TEMPLATE/drive_c/windows/system32" "$WH_PREFIX/drive_c/windows/system32" \
        || wh_fail "cannot link the template's system32"
    WH_PREFIXES+=("$WH_PREFIX")
}

# Seed the current prefix from a scenario folder: registry.reg imported (as UTF-16LE), drive_c/ merged
# over drive_c. machine.ini is read by wh_conditions and arranged around the run (wh_hold_start).
wh_seed() {
    local scenario="$1"
    [[ -z "$scenario" ]] && return 0
    [[ -d "$scenario" ]] || wh_fail "scenario folder $scenario is missing"
    if [[ -f "$scenario/registry.reg" ]]; then
        python3 "$WH_DIR/wh_tool.py" reg16 "$scenario/registry.reg" "$WH_PREFIX/drive_c/vp-seed.reg" \
            || wh_fail "cannot read $scenario/registry.reg"
        WINEPREFIX="$WH_PREFIX" wine reg import 'C:\vp-seed.reg' >"$WH_ROOT/seed.log" 2>&1 \
            || wh_fail "wine reg import of $scenario/registry.reg failed: $(cat "$WH_ROOT/seed.log")"
        rm -f "$WH_PREFIX/drive_c/vp-seed.reg"
    fi
    if [[ -d "$scenario/drive_c" ]]; then
        python3 "$WH_DIR/wh_tool.py" merge "$scenario/drive_c" "$WH_PREFIX/drive_c" \
            || wh_fail "cannot copy $scenario/drive_c into the prefix"
    fi
}

# The conditions of a scenario's machine.ini that a Wine run can arrange: WH_LOCKED and WH_READ_ONLY
# (Windows paths), WH_SHARED (sharing letters and Windows path, in turn). Prints why and returns 1 when the file asks for something Wine cannot give
# (junctions, write-protected keys, injected faults) and WH_ACCEPT_MISSING does not name it.
wh_conditions() {
    local scenario="$1" ini line section="" key value
    local -a missing=()
    WH_LOCKED=()
    WH_SHARED=()
    WH_READ_ONLY=()
    WH_LINKS=()
    [[ -n "$scenario" && -f "$scenario/machine.ini" ]] || return 0
    ini="$scenario/machine.ini"
    while IFS= read -r line || [[ -n "$line" ]]; do
        line="${line%$'\r'}"
        line="${line#"${line%%[![:space:]]*}"}"
        [[ -z "$line" || "$line" == \;* || "$line" == \#* ]] && continue
        if [[ "$line" =~ ^\[([^]]*)\] ]]; then
            section="${BASH_REMATCH[1],,}"
            continue
        fi
        [[ "$line" == *=* ]] || continue
        key="${line%%=*}"; key="${key%"${key##*[![:space:]]}"}"; key="${key,,}"
        value="${line#*=}"; value="${value#"${value%%[![:space:]]*}"}"; value="${value%"${value##*[![:space:]]}"}"
        case "$section/$key" in
            files/locked)       WH_LOCKED+=("$value") ;;
            files/open)         WH_SHARED+=("${value##* share=}" "${value% share=*}") ;;
            files/read_only)    WH_READ_ONLY+=("$value") ;;
            files/junction)     [[ " ${WH_ACCEPT_MISSING:-} " == *" junction "* ]] \
                                    || missing+=("[files] junction=$value (a folder junction)") ;;
            registry/protected) [[ " ${WH_ACCEPT_MISSING:-} " == *" protected "* ]] \
                                    || missing+=("[registry] protected=$value (a write-protected key)") ;;
            registry/link)      if [[ "${value,,}" == hkey_local_machine\\*" target=hkey_local_machine\\"* ]]; then
                                    WH_LINKS+=("$value")
                                else
                                    missing+=("[registry] link=$value (a link outside HKEY_LOCAL_MACHINE)")
                                fi ;;
            faults/*)           [[ " ${WH_ACCEPT_MISSING:-} " == *" faults "* ]] \
                                    || missing+=("[faults] $key=$value (an injected fault)") ;;
            security/key)       [[ " ${WH_ACCEPT_MISSING:-} " == *" security "* ]] \
                                    || missing+=("[security] key=$value (a key's owner and access list)") ;;
        esac
    done <"$ini"
    if (( ${#missing[@]} )); then
        echo "wine harness: $ini asks for what a Wine run cannot make:"
        printf '  %s\n' "${missing[@]}"
        echo "  (a check that holds without them names them in WH_ACCEPT_MISSING)"
        return 1
    fi
}

# Start hold_open.exe in the current prefix's session for WH_LOCKED, WH_SHARED and WH_READ_ONLY, and
# wait until it holds the files. Its process id is left in WH_HOLD_PID (empty when nothing is to be
# arranged).
wh_hold_start() {
    WH_HOLD_PID=""
    (( ${#WH_LOCKED[@]} + ${#WH_SHARED[@]} + ${#WH_READ_ONLY[@]} )) || return 0
    local helper path waited=0
    helper="$(dirname "$WH_EXE")/hold_open.exe"
    [[ -f "$helper" ]] || wh_fail "$helper is missing (it is built beside the tool by the windows preset)"
    cp "$helper" "$WH_PREFIX/drive_c/hold_open.exe"
    rm -f "$WH_PREFIX/drive_c/hold_open.stop"
    local -a args=(--stop 'C:\hold_open.stop')
    for path in "${WH_READ_ONLY[@]}"; do args+=(--read-only "$path"); done
    local i
    for (( i = 0; i + 1 < ${#WH_SHARED[@]}; i += 2 )); do args+=(--shared "${WH_SHARED[i]}" "${WH_SHARED[i + 1]}"); done
    args+=("${WH_LOCKED[@]}")
    WINEPREFIX="$WH_PREFIX" timeout 900 wine 'C:\hold_open.exe' "${args[@]}" \
        </dev/null >"$WH_OUT/hold_open.txt" 2>"$WH_OUT/hold_open.stderr" &
    WH_HOLD_PID=$!
    # It prints "holding" once every file is marked and open; a Wine process start takes about a second.
    until grep -q '^holding' "$WH_OUT/hold_open.txt" 2>/dev/null; do
        if ! kill -0 "$WH_HOLD_PID" 2>/dev/null || (( waited >= 600 )); then
            wh_fail "hold_open.exe did not get hold of ${WH_LOCKED[*]} ${WH_READ_ONLY[*]}: $(tr -d '\r' <"$WH_OUT/hold_open.txt")"
        fi
        sleep 0.1
        waited=$((waited + 1))
    done
}

# Let hold_open.exe close its files and end; its exit code goes to hold_open_exit_code.
wh_hold_stop() {
    [[ -n "$WH_HOLD_PID" ]] || return 0
    local waited=0 rc
    : >"$WH_PREFIX/drive_c/hold_open.stop"
    while kill -0 "$WH_HOLD_PID" 2>/dev/null && (( waited < 300 )); do
        sleep 0.1
        waited=$((waited + 1))
    done
    if kill -0 "$WH_HOLD_PID" 2>/dev/null; then
        kill "$WH_HOLD_PID" 2>/dev/null
        wh_fail "hold_open.exe did not end within 30 s of its stop signal"
    fi
    wait "$WH_HOLD_PID"
    rc=$?
    echo "$rc" >"$WH_OUT/hold_open_exit_code"
    rm -f "$WH_PREFIX/drive_c/hold_open.stop" "$WH_PREFIX/drive_c/hold_open.exe"
    WH_HOLD_PID=""
}

wh_utc_ms() {
    local now
    now="$(date -u +%H:%M:%S:%N)"
    IFS=: read -r h m s n <<<"$now"
    echo $(( ((10#$h * 60 + 10#$m) * 60 + 10#$s) * 1000 + 10#${n:0:3} ))
}

# The file of the prefix's drive C: at a Windows path below C:\ (names compared without letter case),
# printed when it exists.
wh_prefix_file() {
    python3 "$WH_DIR/wh_tool.py" find "$WH_PREFIX/drive_c" "$1"
}

# Runs a Windows program built beside the tool (build/windows) in the current prefix's running
# session, as C:\<its file name>; its console output goes to standard output (CR LF as LF).
wh_in_session() {
    local program="$(dirname "$WH_EXE")/$1"
    shift
    [[ -f "$program" ]] || wh_fail "$program is missing (it is built beside the tool by the windows preset)"
    cp "$program" "$WH_PREFIX/drive_c/$(basename "$program")"
    ( cd "$WH_PREFIX/drive_c" && WINEPREFIX="$WH_PREFIX" timeout 120 wine "C:\\$(basename "$program")" "$@" \
          </dev/null 2>>"$WH_OUT/stderr.txt" ) | tr -d '\r'
    rm -f "$WH_PREFIX/drive_c/$(basename "$program")"
}

wh_run() {
    local name="$1" scenario="$2"
    shift 2
    wh_run_program "$name" "$scenario" "$WH_EXE" "$@"
}

# As wh_run, for any Windows program: wh_run_program NAME SCENARIO EXE [ARG...]; it runs as C:\<its name>.
wh_run_program() {
    local name="$1" scenario="$2" program="$3"
    shift 3
    [[ -f "$program" ]] || wh_fail "$name: program $program is missing"
    local program_name
    program_name="$(basename "$program")"
    WH_OUT="$WH_ROOT/out/$name"
    if [[ -f "$WH_OUT/refused" ]]; then
        cat "$WH_OUT/refused"
        return 1
    fi
    if [[ -f "$WH_OUT/exit_code" ]]; then
        WH_PREFIX="$WH_ROOT/prefix/$name"
        return 0
    fi
    mkdir -p "$WH_OUT"
    if ! wh_conditions "$scenario" >"$WH_OUT/refused"; then
        cat "$WH_OUT/refused"
        return 1
    fi
    rm -f "$WH_OUT/refused"
    wh_new_prefix "$name"
    # One Wine session per scenario, from seeding to the registry export. A new session starts with
    # wineboot, which runs and clears the RunOnce entries and carries out PendingFileRenameOperations:
    # ending the session between the run and the export would erase exactly what the tool scheduled.
    WINEPREFIX="$WH_PREFIX" wineserver -p || wh_fail "$name: cannot start wineserver"
    wh_seed "$scenario"
    mkdir -p "$WH_OUT"
    cp "$program" "$WH_PREFIX/drive_c/$program_name"
    printf '%s\n' "$@" >"$WH_OUT/arguments"

    # Registry links ([registry] link=, HKEY_LOCAL_MACHINE only) are made in the session by key_security.exe.
    local link
    for link in "${WH_LINKS[@]}"; do
        wh_in_session key_security.exe link "${link%% target=*}" "${link#* target=}" >>"$WH_OUT/links.txt" \
            || wh_fail "$name: cannot make the registry link $link"
    done
    wh_hold_start

    [[ -n "${WH_BEFORE_RUN:-}" ]] && "$WH_BEFORE_RUN"
    local rc
    wh_utc_ms >"$WH_OUT/utc_start_ms"
    (
        cd "$WH_PREFIX/drive_c" || exit 125
        WINEPREFIX="$WH_PREFIX" TZ="$WH_TZ" timeout 300 wine "C:\\$program_name" "$@" \
            </dev/null >"$WH_OUT/console.raw" 2>"$WH_OUT/stderr.txt"
    )
    rc=$?
    wh_utc_ms >"$WH_OUT/utc_end_ms"
    [[ $rc -eq 124 ]] && wh_fail "$name: $program_name did not end within 300 s"
    wh_hold_stop
    [[ -n "${WH_AFTER_RUN:-}" ]] && "$WH_AFTER_RUN"
    echo "$rc" >"$WH_OUT/exit_code"
    tr -d '\r' <"$WH_OUT/console.raw" >"$WH_OUT/console.txt"

    # The run's log: its usual file, or the one the console's first line names when that was taken.
    local log log_name='windows\temp\vpRemovalTool.txt' first
    first="$(head -n 1 "$WH_OUT/console.txt")"
    [[ "$first" == "Log file: C:\\"* ]] && log_name="${first#Log file: C:\\}"
    if log="$(wh_prefix_file "$log_name")"; then
        cp "$log" "$WH_OUT/log.txt"
    fi

    local root
    for root in HKLM HKCU; do
        local lower="${root,,}"
        WINEPREFIX="$WH_PREFIX" wine reg export "$root" "C:\\vp-$lower.reg" /y >>"$WH_OUT/stderr.txt" 2>&1 \
            || wh_fail "$name: wine reg export $root failed"
        mv "$WH_PREFIX/drive_c/vp-$lower.reg" "$WH_OUT/$lower.reg"
        python3 "$WH_DIR/wh_tool.py" utf16 "$WH_OUT/$lower.reg" >"$WH_OUT/$lower.txt"
    done
    # End the session without a new one: the exports above are the registry after the run (the
    # prefix's system.reg and user.reg are not rewritten); drive_c stays as the run left it.
    WINEPREFIX="$WH_PREFIX" wineserver -k >/dev/null 2>&1
    WINEPREFIX="$WH_PREFIX" wineserver -w
    return 0
}
