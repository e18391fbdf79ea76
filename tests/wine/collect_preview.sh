#!/usr/bin/env bash
# collect-machine.cmd under Wine, and the preview vpsim gives from what it collected.
#
#   bash tests/wine/collect_preview.sh EXE SOURCE_DIR VPSIM
#
# Seeds a Wine prefix from the demo machine, runs tools/collect-machine.cmd there (Wine ships cmd and
# reg), runs vpsim on the collected folder and on the demo machine itself, and compares the two
# previews without regard to letter case and line order. The differences must be exactly those of
# expected/collect_preview_differences.txt; tests/wine/README.md says why each one is there.
set -u
EXE="${1:-}"
SOURCE_DIR="${2:-}"
VPSIM="${3:-}"
HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source "$HERE/harness.sh"
[[ -n "$SOURCE_DIR" && -d "$SOURCE_DIR" ]] || wh_fail "source folder '$SOURCE_DIR' is missing"
[[ -x "$VPSIM" ]] || wh_fail "vpsim '$VPSIM' is missing (cmake --build --preset linux)"
wh_setup "$EXE"
DEMO="$(cd "$SOURCE_DIR" && pwd)/machines/demo"
ARGS="$(tr -d '\r\n' <"$DEMO/expected/arguments.txt")"

# The readers' key security of the demo is not made under Wine (see harness.sh); the collection
# would not carry it anyway.
WH_ACCEPT_MISSING="security" wh_run_program collect "$DEMO" "$SOURCE_DIR/tools/collect-machine.cmd" 'C:\collected' \
    || wh_fail "the demo machine cannot be seeded"
rc="$(cat "$WH_OUT/exit_code")"
[[ "$rc" == 0 ]] || { cat "$WH_OUT/console.txt" "$WH_OUT/stderr.txt"; wh_fail "collect-machine.cmd ended with $rc"; }
collected="$WH_ROOT/collected"
cp -r "$(wh_prefix_file 'collected')" "$collected" || wh_fail "collect-machine.cmd wrote no C:\\collected"

# machine.ini: the prefix's version (Wine states 6.1 in CurrentVersion and no CurrentMajorVersionNumber)
# and its ANSI code page.
ini="$(tr -d '\r' <"$collected/machine.ini")"
for line in '[os]' 'version=6.1' 'product=workstation' 'codepage=1252'; do
    grep -qxF "$line" <<<"$ini" || { echo "$ini"; wh_fail "the collected machine.ini lacks the line $line"; }
done

"$VPSIM" run "$collected" --out "$WH_ROOT/after-collected" -- $ARGS >/dev/null
[[ -f "$WH_ROOT/after-collected/exit-code.txt" ]] || wh_fail "vpsim refused the collected folder"
"$VPSIM" run "$DEMO" --out "$WH_ROOT/after-demo" -- $ARGS >/dev/null
"$VPSIM" diff "$collected" "$WH_ROOT/after-collected" >"$WH_ROOT/preview-collected.txt"
"$VPSIM" diff "$DEMO" "$WH_ROOT/after-demo" >"$WH_ROOT/preview-demo.txt"

# Each line with its section's title in front, without letter case, counts and order: "<" lines
# only in the demo's own preview, ">" only in the preview from the collection.
normalise() {
    awk '/^[^ ].*:$/ { sub(/ \([0-9]+\):$/, ":"); section = $0; next }
         /^[^ ]/    { print; next }
         NF         { print section $0 }' "$1" | tr '[:upper:]' '[:lower:]' | LC_ALL=C sort
}
diff <(normalise "$WH_ROOT/preview-demo.txt") <(normalise "$WH_ROOT/preview-collected.txt") \
    | grep '^[<>]' >"$WH_ROOT/differences.txt"
diff -u "$HERE/expected/collect_preview_differences.txt" "$WH_ROOT/differences.txt" \
    || { echo "FAIL collect_preview: the previews differ otherwise than expected (- expected, + found)"; exit 1; }

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
echo "PASS collect_preview ($(wc -l <"$WH_ROOT/differences.txt") known differences; with the file in use named, only key security)"
exit 0
