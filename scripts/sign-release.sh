#!/usr/bin/env bash
# Signs the release package's programs with Authenticode (Debian package osslsigncode).
#
#   scripts/sign-release.sh [BUILD_DIR]          (build/windows when none is given)
#
# The organisation's code-signing certificate and key come from the environment, never from the
# repository; either a PKCS#12 file:
#   VP_SIGN_PKCS12          the PKCS#12 file with the code-signing certificate, its key and its chain
#   VP_SIGN_PASSWORD        the file's password
# or a key on a hardware token or in an HSM, used through osslsigncode's PKCS#11 engine (Debian package
# libengine-pkcs11-openssl); the key never leaves the token:
#   VP_SIGN_PKCS11_KEY      the key's PKCS#11 URI, e.g. "pkcs11:token=Signing;object=code-signing;type=private"
#   VP_SIGN_PKCS11_MODULE   the token's or HSM's PKCS#11 library (its maker's; for SoftHSM
#                           /usr/lib/softhsm/libsofthsm2.so)
#   VP_SIGN_CERTS           a PEM file with the code-signing certificate and the chain up to its root
#   VP_SIGN_PASSWORD        the token's user PIN
#   VP_SIGN_PKCS11_ENGINE   optional: the engine (default: pkcs11.so in OpenSSL's engines folder)
# The password or PIN is read by osslsigncode from a pipe, not from its command line. Every signature
# is time-stamped, so that it stays valid after the certificate expires:
#   VP_SIGN_TIMESTAMP_URL   an RFC 3161 time-stamp server (the certificate's issuer names one)
# For scripts/check-signing.sh alone, VP_SIGN_TEST_TSA_CERTS and VP_SIGN_TEST_TSA_KEY name a throw-away
# time-stamping certificate (with its chain) and key that osslsigncode stamps with itself.
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
[[ -n "${VP_SIGN_PASSWORD+set}" ]] || fail "VP_SIGN_PASSWORD is not set"
if [[ -n "${VP_SIGN_PKCS12:-}" && -n "${VP_SIGN_PKCS11_KEY:-}" ]]; then
    fail "VP_SIGN_PKCS12 and VP_SIGN_PKCS11_KEY are both set: name one key"
elif [[ -n "${VP_SIGN_PKCS12:-}" ]]; then
    [[ -f "$VP_SIGN_PKCS12" ]] || fail "$VP_SIGN_PKCS12: no such file"
    key=(-pkcs12 "$VP_SIGN_PKCS12")
elif [[ -n "${VP_SIGN_PKCS11_KEY:-}" ]]; then
    engine="${VP_SIGN_PKCS11_ENGINE:-$(openssl version -e | sed -n 's/^ENGINESDIR: "\(.*\)"$/\1/p')/pkcs11.so}"
    [[ -f "$engine" ]] || fail "$engine: no PKCS#11 engine (Debian package libengine-pkcs11-openssl)"
    [[ -f "${VP_SIGN_PKCS11_MODULE:-}" ]] || fail "VP_SIGN_PKCS11_MODULE names no PKCS#11 library of the token"
    [[ -f "${VP_SIGN_CERTS:-}" ]] || fail "VP_SIGN_CERTS names no PEM file of the certificate and its chain"
    key=(-pkcs11engine "$engine" -pkcs11module "$VP_SIGN_PKCS11_MODULE" -certs "$VP_SIGN_CERTS" -key "$VP_SIGN_PKCS11_KEY")
else
    fail "neither VP_SIGN_PKCS12 (a PKCS#12 file) nor VP_SIGN_PKCS11_KEY (a key on a token) is set"
fi
if [[ -n "${VP_SIGN_TIMESTAMP_URL:-}" ]]; then
    timestamp=(-ts "$VP_SIGN_TIMESTAMP_URL")
elif [[ -f "${VP_SIGN_TEST_TSA_CERTS:-}" && -f "${VP_SIGN_TEST_TSA_KEY:-}" ]]; then
    timestamp=(-TSA-certs "$VP_SIGN_TEST_TSA_CERTS" -TSA-key "$VP_SIGN_TEST_TSA_KEY")
else
    fail "VP_SIGN_TIMESTAMP_URL names no time-stamp server: a signature without a time stamp ends with the certificate"
fi
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
        osslsigncode sign "${key[@]}" -readpass <(printf '%s' "$VP_SIGN_PASSWORD") -h sha256 \
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
