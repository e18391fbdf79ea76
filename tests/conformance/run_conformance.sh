#!/bin/bash
# Runs one conformance program natively (against winsim) and as a Windows executable under Wine, and
# compares the outputs, with each other and with the output both last gave (EXPECTED).
#   run_conformance.sh NATIVE_EXECUTABLE SOURCE_FILE EXPECTED [LIBRARY...]
# The source is cross-compiled with MinGW-w64 (linked with the system libraries named, e.g. msi) and
# run in a fresh 64-bit Wine prefix.
#   run_conformance.sh --winsim NATIVE_EXECUTABLE EXPECTED
# Runs the native program alone and compares its output with EXPECTED (no Wine needed).
# Exit status 0 when the outputs are equal; otherwise the diff and 1. A program whose output is
# meant to change gets its new EXPECTED from the native run once the Wine run agrees with it:
#   NATIVE_EXECUTABLE >EXPECTED
set -u

# The native program's output compared with EXPECTED: the diff (expected first) and 1 when they differ.
compare_expected() {
    local output=$1 expected=$2
    if [ ! -f "$expected" ]; then
        echo "$(basename "$expected"): missing; the native output is:" >&2
        cat "$output" >&2
        return 1
    fi
    diff -u --label expected --label winsim "$expected" "$output"
}

if [ "${1:-}" = --winsim ]; then
    [ $# -eq 3 ] || { echo "usage: $0 --winsim NATIVE_EXECUTABLE EXPECTED" >&2; exit 2; }
    output=$(mktemp)
    trap 'rm -f "$output"' EXIT
    "$2" >"$output" || { echo "$(basename "$2"): exit status $? on winsim" >&2; exit 1; }
    compare_expected "$output" "$3" || exit 1
    echo "$(basename "$2"): $(wc -l <"$output") lines, as expected"
    exit 0
fi
if [ $# -lt 3 ]; then
    echo "usage: $0 NATIVE_EXECUTABLE SOURCE_FILE EXPECTED [LIBRARY...]" >&2
    exit 2
fi
native=$1
source=$2
expected=$3
shift 3
libraries=()
for library in "$@"; do libraries+=("-l$library"); done
name=$(basename "$source" .cpp)

for tool in wine wineboot wineserver; do
    if ! command -v "$tool" >/dev/null; then
        echo "$name: $tool is not installed" >&2
        exit 1
    fi
done
compiler=x86_64-w64-mingw32-g++-posix
command -v "$compiler" >/dev/null || compiler=x86_64-w64-mingw32-g++
if ! command -v "$compiler" >/dev/null; then
    echo "$name: no MinGW-w64 C++ compiler" >&2
    exit 1
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/conformance-$name.XXXXXX")
export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
cleanup() {
    [ -d "$WINEPREFIX" ] && wineserver -k >/dev/null 2>&1
    rm -rf "$work"
}
trap cleanup EXIT

if ! "$compiler" -std=c++17 -O1 -Wall -DUNICODE -D_UNICODE -static -o "$work/$name.exe" "$source" \
        "${libraries[@]}"; then
    echo "$name: the Windows build failed" >&2
    exit 1
fi
if ! wineboot --init >"$work/wineboot.log" 2>&1; then
    echo "$name: wineboot failed" >&2
    cat "$work/wineboot.log" >&2
    exit 1
fi
wineserver -w

# The Windows program writes CR LF line ends.
wine "$work/$name.exe" 2>"$work/wine.err" | tr -d '\r' >"$work/wine.out"
wine_status=${PIPESTATUS[0]}
"$native" >"$work/winsim.out" 2>"$work/winsim.err"
native_status=$?

failed=0
if [ "$wine_status" -ne 0 ] || [ "$native_status" -ne 0 ]; then
    echo "$name: exit status $wine_status under Wine, $native_status on winsim" >&2
    cat "$work/wine.err" "$work/winsim.err" >&2
    failed=1
fi
if ! diff -u --label wine --label winsim "$work/wine.out" "$work/winsim.out"; then
    failed=1
fi
if ! compare_expected "$work/winsim.out" "$expected"; then
    failed=1
fi
if [ "$failed" -eq 0 ]; then
    echo "$name: $(wc -l <"$work/wine.out") lines, the same under Wine and on winsim"
fi
exit $failed
