#!/usr/bin/env bash
# Signs the release package's programs with Authenticode (Debian package osslsigncode).
#
#   scripts/sign-release.sh [BUILD_DIR]          (build/windows when none is given)
#
# The certificate comes from the environment, never from the repository:
#   VP_SIGN_PKCS12          the PKCS#12 file with the code-signing certificate, its key and its chain
#   VP_SIGN_PASSWORD        the file's password (read by osslsigncode from a pipe, not its command line)
#   VP_SIGN_TIMESTAMP_URL   optional: an RFC 3161 time-stamp server, so that the signature stays valid
#                           after the certificate expires
#
# Reads the unsigned package BUILD_DIR/package/vpRemovalTool-VERSION-win64.zip (cmake --build --preset
# windows --target package) and writes BUILD_DIR/package/vpRemovalTool-VERSION-win64-signed.zip: the
# same entries in the same order, every .exe signed (SHA-256), and SHA256SUMS.txt listing the hashes
# of the signed files. The unsigned package and the build's executables stay as they were, so the
# unsigned build stays reproducible byte for byte.
set -euo pipefail

root_dir="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$root_dir/build/windows}"
fail() { echo "sign-release: $*" >&2; exit 1; }

command -v osslsigncode >/dev/null || fail "osslsigncode is not installed (Debian package osslsigncode)"
[[ -n "${VP_SIGN_PKCS12:-}" ]] || fail "VP_SIGN_PKCS12 names no PKCS#12 file"
[[ -f "$VP_SIGN_PKCS12" ]] || fail "$VP_SIGN_PKCS12: no such file"
[[ -n "${VP_SIGN_PASSWORD+set}" ]] || fail "VP_SIGN_PASSWORD is not set"
unsigned=()
for zip in "$build"/package/vpRemovalTool-*-win64.zip; do
    [[ -f "$zip" ]] && unsigned+=("$zip")
done
(( ${#unsigned[@]} == 1 )) || fail "expected one unsigned package in $build/package (cmake --build --preset windows --target package)"
signed="${unsigned[0]%.zip}-signed.zip"

work="$(mktemp -d "${TMPDIR:-/tmp}/vp-sign.XXXXXX")"
trap 'rm -rf "$work"' EXIT

# Every entry's bytes to a file of its own (entry N as $work/N); the names, in order, to $work/entries.
python3 - "${unsigned[0]}" "$work" <<'PY'
import sys, zipfile
with zipfile.ZipFile(sys.argv[1]) as package:
    with open(sys.argv[2] + "/entries", "w") as entries:
        for number, info in enumerate(package.infolist()):
            open("%s/%d" % (sys.argv[2], number), "wb").write(package.read(info))
            entries.write(info.filename + "\n")
PY

number=0
while IFS= read -r name; do
    if [[ "$name" == *.exe ]]; then
        timestamp=()
        [[ -n "${VP_SIGN_TIMESTAMP_URL:-}" ]] && timestamp=(-ts "$VP_SIGN_TIMESTAMP_URL")
        osslsigncode sign -pkcs12 "$VP_SIGN_PKCS12" -readpass <(printf '%s' "$VP_SIGN_PASSWORD") -h sha256 \
            -n "VESPARIO Drivers Removal Tool" "${timestamp[@]}" -in "$work/$number" -out "$work/$number.signed" \
            >"$work/osslsigncode.txt" 2>&1 || { cat "$work/osslsigncode.txt" >&2; fail "cannot sign $name"; }
        mv "$work/$number.signed" "$work/$number"
        echo "signed: $name"
    fi
    number=$((number + 1))
done <"$work/entries"

# The signed package: SHA256SUMS.txt lists the same files in the same order with their new hashes;
# each entry keeps its name, time and attributes, so the package depends only on what it holds.
python3 - "${unsigned[0]}" "$work" "$signed.part" <<'PY'
import hashlib, sys, zipfile
source, work, target = sys.argv[1:4]
with zipfile.ZipFile(source) as package:
    infos = package.infolist()
data = [open("%s/%d" % (work, number), "rb").read() for number in range(len(infos))]
by_name = {info.filename.rsplit("/", 1)[-1]: blob for info, blob in zip(infos, data)}
for number, info in enumerate(infos):
    if info.filename.endswith("/SHA256SUMS.txt"):
        lines = []
        for line in data[number].decode().splitlines():
            name = line.split("  ", 1)[1]
            lines.append("%s  %s\n" % (hashlib.sha256(by_name[name]).hexdigest(), name))
        data[number] = "".join(lines).encode()
with zipfile.ZipFile(target, "w") as package:
    for info, blob in zip(infos, data):
        package.writestr(info, blob, compresslevel=9)
PY
mv "$signed.part" "$signed"
echo "signed package: $signed"
