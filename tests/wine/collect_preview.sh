#!/usr/bin/env bash
# collect-machine.cmd under Wine, and the preview vpsim gives from what it collected.
#
#   bash tests/wine/collect_preview.sh EXE SOURCE_DIR VPSIM
#
# Seeds a Wine prefix from the demo machine, runs tools/collect-machine.cmd there (Wine ships cmd and
# reg), runs vpsim on the collected folder and on the demo machine itself, and compares the two
# previews without regard to letter case and line order. The differences must be exactly those of
# expected/collect_preview_differences.txt; tests/wine/README.md says why each one is there. Then
# vpsim.exe (built beside EXE) runs and compares under Wine on the same collection, and must give the
# same JSON, text, page and machine as the Linux vpsim. Last, the clean machine (with the maker's
# settings left in LocalSystem's profile) is collected: its preview must be exactly
# expected/collect_preview_clean.txt, also without the exported branches below the machine's classes,
# and expected/collect_preview_clean_localsystem.txt for a run as LocalSystem.
set -u
EXE="${1:-}"
SOURCE_DIR="${2:-}"
VPSIM="${3:-}"
HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source "$HERE/harness.sh"
[[ -n "$SOURCE_DIR" && -d "$SOURCE_DIR" ]] || wh_fail "source folder '$SOURCE_DIR' is missing"
[[ -x "$VPSIM" ]] || wh_fail "vpsim '$VPSIM' is missing (cmake --build --preset linux)"
VPSIM_EXE="$(cd "$(dirname "$EXE")" && pwd)/vpsim.exe"
[[ -f "$VPSIM_EXE" ]] || wh_fail "$VPSIM_EXE is missing (it is built beside the tool by the windows preset)"
wh_setup "$EXE"
DEMO="$(cd "$SOURCE_DIR" && pwd)/machines/demo"
ARGS="$(tr -d '\r\n' <"$DEMO/expected/arguments.txt")"

# Collects the scenario folder $2 in a prefix of its own named $1, into $WH_ROOT/$1.
collect() {
    # The readers' key security of the demo is not made under Wine (see harness.sh); the collection
    # would not carry it anyway.
    WH_ACCEPT_MISSING="security" wh_run_program "$1" "$2" "$SOURCE_DIR/tools/collect-machine.cmd" 'C:\collected' \
        || wh_fail "the machine $2 cannot be seeded"
    local rc
    rc="$(cat "$WH_OUT/exit_code")"
    [[ "$rc" == 0 ]] || { cat "$WH_OUT/console.txt" "$WH_OUT/stderr.txt"; wh_fail "collect-machine.cmd ended with $rc"; }
    cp -r "$(wh_prefix_file 'collected')" "$WH_ROOT/$1" || wh_fail "collect-machine.cmd wrote no C:\\collected"
}

# The line of the collected machine.ini that starts with $2.
ini_value() {
    tr -d '\r' <"$1/machine.ini" | sed -n "s/^$2//p"
}

collect collect "$DEMO"
collected="$WH_ROOT/collect"

# machine.ini: the prefix's version (Wine states 6.1 in CurrentVersion and no CurrentMajorVersionNumber),
# its ANSI code page, and the Wine user, whose HKEY_CURRENT_USER was exported.
ini="$(tr -d '\r' <"$collected/machine.ini")"
for line in '[os]' 'version=6.1' 'product=workstation' 'codepage=1252' '[user]' "name=$(WINEPREFIX="$WH_PREFIX" \
        wine cmd /c 'echo %USERDOMAIN%\%USERNAME%' 2>/dev/null | tr -d '\r')" 'sid=S-1-5-21-0-0-0-1000'; do
    grep -qxF "$line" <<<"$ini" || { echo "$ini"; wh_fail "the collected machine.ini lacks the line $line"; }
done
# The build number (Wine's CurrentBuildNumber), the computer's name and the collection's date and time.
computer="$(WINEPREFIX="$WH_PREFIX" wine cmd /c 'echo %COMPUTERNAME%' 2>/dev/null | tr -d '\r')"
grep -qE '^build=[0-9]+$' <<<"$ini" && grep -qxF '[collection]' <<<"$ini" && grep -qxF "computer=$computer" <<<"$ini" &&
    grep -qE '^date=.*[0-9].*:[0-9]' <<<"$ini" ||
    { echo "$ini"; wh_fail "the collected machine.ini lacks the build, [collection], computer=$computer or the date"; }
user_line="The run's HKEY_CURRENT_USER: the profile of $(ini_value "$collected" name=) ($(ini_value "$collected" sid=)), listed as HKEY_CURRENT_USER"

"$VPSIM" run "$collected" --out "$WH_ROOT/after-collected" -- $ARGS >"$WH_ROOT/console-collected.txt"
[[ -f "$WH_ROOT/after-collected/exit-code.txt" ]] || wh_fail "vpsim refused the collected folder"
"$VPSIM" run "$DEMO" --out "$WH_ROOT/after-demo" -- $ARGS >/dev/null
"$VPSIM" diff "$collected" "$WH_ROOT/after-collected" >"$WH_ROOT/preview-collected.txt"
"$VPSIM" diff "$DEMO" "$WH_ROOT/after-demo" >"$WH_ROOT/preview-demo.txt"
[[ "$(head -n 1 "$WH_ROOT/preview-collected.txt")" == "$user_line" ]] \
    || wh_fail "the preview from the collection begins '$(head -n 1 "$WH_ROOT/preview-collected.txt")', not '$user_line'"

# Each line with its section's title in front, without letter case, counts and order: "<" lines
# only in the demo's own preview, ">" only in the preview from the collection. The first line (whose
# profile) is checked on its own.
normalise() {
    tail -n +2 "$1" | awk '/^[^ ].*:$/ { sub(/ \([0-9]+\):$/, ":"); section = $0; next }
         /^[^ ]/    { print; next }
         NF         { print section $0 }' | tr '[:upper:]' '[:lower:]' | LC_ALL=C sort
}
diff <(normalise "$WH_ROOT/preview-demo.txt") <(normalise "$WH_ROOT/preview-collected.txt") \
    | grep '^[<>]' >"$WH_ROOT/differences.txt"
diff -u "$HERE/expected/collect_preview_differences.txt" "$WH_ROOT/differences.txt" \
    || { echo "FAIL collect_preview: the previews differ otherwise than expected (- expected, + found)"; exit 1; }

# vpsim.exe under Wine on the same collection: the same console, exit code and machine afterwards as
# the Linux vpsim's, and the same preview as JSON, as text and as a page.
windows_path() { WINEPREFIX="$WH_PREFIX" winepath -w "$1" 2>/dev/null; }
on_windows() { (cd "$WH_ROOT" && WINEPREFIX="$WH_PREFIX" timeout 300 wine "$VPSIM_EXE" "$@" 2>>"$WH_ROOT/vpsim-exe.stderr"); }
"$VPSIM" diff --json --html "$WH_ROOT/preview-linux.html" "$collected" "$WH_ROOT/after-collected" >"$WH_ROOT/preview-linux.json"
on_windows run "$(windows_path "$collected")" --out "$(windows_path "$WH_ROOT/after-windows")" -- $ARGS \
    >"$WH_ROOT/console-windows.txt"
echo "$?" >"$WH_ROOT/exit-windows.txt"
on_windows diff --json --html "$(windows_path "$WH_ROOT/preview-windows.html")" "$(windows_path "$collected")" \
    "$(windows_path "$WH_ROOT/after-windows")" >"$WH_ROOT/preview-windows.json"
on_windows diff "$(windows_path "$collected")" "$(windows_path "$WH_ROOT/after-windows")" >"$WH_ROOT/preview-windows.txt"
same=1
for pair in "console-collected.txt console-windows.txt" "after-collected/exit-code.txt exit-windows.txt" \
            "preview-linux.json preview-windows.json" "preview-collected.txt preview-windows.txt" \
            "preview-linux.html preview-windows.html"; do
    set -- $pair
    cmp -s "$WH_ROOT/$1" "$WH_ROOT/$2" || { echo "vpsim.exe: $2 differs from the Linux vpsim's $1:"; \
        diff "$WH_ROOT/$1" "$WH_ROOT/$2" | head -n 10; same=0; }
done
diff -r "$WH_ROOT/after-collected" "$WH_ROOT/after-windows" >"$WH_ROOT/after-differences.txt" \
    || { echo "vpsim.exe: the machine after the run differs:"; head -n 10 "$WH_ROOT/after-differences.txt"; same=0; }
(( same )) || { head -n 5 "$WH_ROOT/vpsim-exe.stderr"; echo "FAIL collect_preview: vpsim.exe and vpsim differ"; exit 1; }

# Told of the file in use, as the collected machine.ini suggests, the preview asks for the restart
# like the demo's own: only the key security differs then.
printf '\n[files]\nlocked=C:\\Windows\\System32\\vpCSP.dll\n' >>"$collected/machine.ini"
"$VPSIM" run "$collected" --out "$WH_ROOT/after-locked" -- $ARGS >/dev/null
"$VPSIM" diff "$collected" "$WH_ROOT/after-locked" >"$WH_ROOT/preview-locked.txt"
diff <(normalise "$WH_ROOT/preview-demo.txt") <(normalise "$WH_ROOT/preview-locked.txt") \
    | grep '^[<>]' >"$WH_ROOT/differences-locked.txt"
if ! diff -u <(grep 'key security changed' "$HERE/expected/collect_preview_differences.txt") \
        "$WH_ROOT/differences-locked.txt"; then
    echo "FAIL collect_preview: with the file in use named, the previews differ otherwise than in key security"
    exit 1
fi

# The clean machine, the maker's settings left in LocalSystem's profile by an earlier deployment: a
# run as administrator changes nothing but the readers' key security and writes its log; a run as
# LocalSystem also removes those settings. Without the exported branches below the machine's classes,
# as on a machine with no installer registration, the preview is the same.
clean="$WH_ROOT/clean-machine"
cp -r "$SOURCE_DIR/machines/clean" "$clean"
printf '\r\n[HKEY_USERS\\.DEFAULT\\Software\\Corvanta LLP.\\VESPARIO]\r\n"Language"="ru"\r\n' >>"$clean/registry.reg"
# A user logged on (hive loaded below HKEY_USERS) with the maker's key and another vendor's: the
# collection holds the hive's maker's key alone, and each preview removes it under that profile.
printf '\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList\\S-1-5-21-0-0-0-1002]\r\n"ProfileImagePath"="C:\\\\users\\\\carl"\r\n' >>"$clean/registry.reg"
printf '\r\n[HKEY_USERS\\S-1-5-21-0-0-0-1002\\Software\\Corvanta LLP.\\VESPARIO]\r\n"Language"="de"\r\n' >>"$clean/registry.reg"
printf '\r\n[HKEY_USERS\\S-1-5-21-0-0-0-1002\\Software\\Lumenleaf]\r\n"Zoom"="100"\r\n' >>"$clean/registry.reg"
collect collect-clean "$clean"
preview_of() {  # FOLDER NAME: the preview of a run on the collected FOLDER
    "$VPSIM" run "$1" --out "$WH_ROOT/after-$2" >/dev/null
    "$VPSIM" diff "$1" "$WH_ROOT/after-$2"
}
expect_preview() {  # FOLDER NAME EXPECTED
    local user_name sid
    user_name="$(ini_value "$1" name=)"; sid="$(ini_value "$1" sid=)"
    diff -u <(sed "s/@USER@/${user_name//\\/\\\\}/; s/@SID@/$sid/" "$HERE/expected/$3") <(preview_of "$1" "$2") \
        || { echo "FAIL collect_preview: the preview of the collected $2 differs (- expected, + found)"; exit 1; }
}
expect_preview "$WH_ROOT/collect-clean" clean collect_preview_clean.txt
cp -r "$WH_ROOT/collect-clean" "$WH_ROOT/collect-clean-no-classes"
rm "$WH_ROOT"/collect-clean-no-classes/registry/1[0-3]-*.reg
expect_preview "$WH_ROOT/collect-clean-no-classes" clean-no-classes collect_preview_clean.txt
printf '\n[run]\naccount=localsystem\n' >>"$WH_ROOT/collect-clean/machine.ini"
expect_preview "$WH_ROOT/collect-clean" clean-localsystem collect_preview_clean_localsystem.txt

echo "PASS collect_preview ($(wc -l <"$WH_ROOT/differences.txt") known differences; with the file in use named, only key security; vpsim.exe gives the same; the clean machine's previews as expected)"
exit 0
