#!/usr/bin/env bash
# The signing of the release package, with certificates made for this check and thrown away after it:
# a root, a code-signing certificate and a time-stamping certificate issued by it; the code-signing key
# once in a PKCS#12 file with a password, once on a software token (SoftHSM, Debian package softhsm2)
# used through the PKCS#11 engine (libengine-pkcs11-openssl).
#
#   scripts/check-signing.sh
#
# Builds the package (windows preset), signs it with scripts/sign-release.sh both ways and checks that:
# each signature and its time stamp verify with their chains to the throw-away root (osslsigncode
# verify), and not with another root; SHA256SUMS.txt holds the signed files' hashes; removing the signature gives back the unsigned
# executable byte for byte apart from the PE checksum field; and the signed executable does on the
# demo machine under Wine what the unsigned one does (exit code, console, log, registry).
set -euo pipefail

root_dir="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$root_dir/build/windows"
cd "$root_dir"
cmake --preset windows >/dev/null
cmake --build --preset windows --target package >/dev/null

work="$(mktemp -d "${TMPDIR:-/tmp}/vp-signing.XXXXXX")"
trap 'rm -rf "$work"' EXIT
failures=0
check() {  # DESCRIPTION COMMAND...: one PASS or FAIL line
    local what="$1"
    shift
    if ( "$@" ) >"$work/check.txt" 2>&1; then
        echo "PASS $what"
    else
        echo "FAIL $what"; sed "s/^/   /" "$work/check.txt" | tail -n 15
        failures=$((failures + 1))
    fi
}

# The throw-away certificates: a root and a code-signing certificate it issues; another root.
cd "$work"
issue() {  # NAME SUBJECT EXTENSIONS [ISSUER]: NAME.key and NAME.pem
    openssl req -new -newkey rsa:2048 -nodes -keyout "$1.key" -out "$1.csr" -subj "/CN=$2" 2>/dev/null
    if [[ -z "${4:-}" ]]; then
        openssl x509 -req -in "$1.csr" -signkey "$1.key" -days 2 -out "$1.pem" -extfile <(printf '%b' "$3") 2>/dev/null
    else
        openssl x509 -req -in "$1.csr" -CA "$4.pem" -CAkey "$4.key" -CAcreateserial -days 2 -out "$1.pem" \
            -extfile <(printf '%b' "$3") 2>/dev/null
    fi
}
ca_extensions='basicConstraints=critical,CA:TRUE\nkeyUsage=critical,keyCertSign,cRLSign\nsubjectKeyIdentifier=hash\n'
issue root "VESPARIO throw-away test root" "$ca_extensions"
issue other-root "Another throw-away root" "$ca_extensions"
issue signer "VESPARIO throw-away code signing" \
    'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n' root
issue tsa "VESPARIO throw-away time stamps" \
    'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=critical,timeStamping\n' root
cat tsa.pem root.pem >tsa-chain.pem
export VP_SIGN_TEST_TSA_CERTS="$work/tsa-chain.pem" VP_SIGN_TEST_TSA_KEY="$work/tsa.key"
password="throw-away $RANDOM$RANDOM"
openssl pkcs12 -export -inkey signer.key -in signer.pem -certfile root.pem -out signer.p12 -passout "pass:$password"
# The same key on a software token of its own, with a user PIN.
mkdir tokens
printf 'directories.tokendir = %s/tokens\nobjectstore.backend = file\n' "$work" >softhsm2.conf
export SOFTHSM2_CONF="$work/softhsm2.conf"
pin="$RANDOM$RANDOM"
softhsm2-util --init-token --free --label vp-check --pin "$pin" --so-pin "$RANDOM$RANDOM" >/dev/null
openssl pkcs8 -topk8 -nocrypt -in signer.key -out signer.p8
softhsm2-util --import signer.p8 --token vp-check --label vp-code-signing --id 01 --pin "$pin" >/dev/null
rm signer.key signer.p8  # from here on the key is in the PKCS#12 file and on the token only
cat signer.pem root.pem >signer-chain.pem

# The package signed both ways, each unpacked beside the unsigned one.
unpack() { python3 -c 'import sys, zipfile; zipfile.ZipFile(sys.argv[1]).extractall(sys.argv[2])' "$1" "$2"; }
unpack "$build"/package/vpRemovalTool-*-win64.zip unsigned
package="$(basename "$(ls -d unsigned/*)")"
sign_into() {  # FOLDER, with the key named by the environment
    bash "$root_dir/scripts/sign-release.sh" "$build" >sign.txt 2>&1 || { cat sign.txt; echo "FAIL signing into $1"; exit 1; }
    unpack "$build"/package/vpRemovalTool-*-win64-signed.zip "$1"
    rm -f "$build"/package/vpRemovalTool-*-win64-signed.zip
}
VP_SIGN_PKCS12="$work/signer.p12" VP_SIGN_PASSWORD="$password" sign_into signed
VP_SIGN_PKCS11_KEY="pkcs11:token=vp-check;object=vp-code-signing;type=private" \
    VP_SIGN_PKCS11_MODULE="$(ls /usr/lib/softhsm/libsofthsm2.so /usr/lib/x86_64-linux-gnu/softhsm/libsofthsm2.so 2>/dev/null | head -n 1)" \
    VP_SIGN_CERTS="$work/signer-chain.pem" VP_SIGN_PASSWORD="$pin" sign_into signed-pkcs11
check "the token's key signs as the PKCS#12 file's: the same signer" \
    bash -c "osslsigncode verify -in signed-pkcs11/$package/vpRemovalTool.exe -CAfile root.pem -TSA-CAfile root.pem | grep -q 'Subject: /CN=VESPARIO throw-away code signing'"
check "without the time stamp's authority, the signature is not accepted as time-stamped" \
    bash -c "osslsigncode verify -in signed/$package/vpRemovalTool.exe -CAfile root.pem -TSA-CAfile other-root.pem | grep -q '^Timestamp Server Signature verification: ok' && exit 1 || exit 0"

verifies() {  # FILE CA: osslsigncode finds the signature and its time stamp sound, their chains ending at CA
    osslsigncode verify -in "$1" -CAfile "$2" -TSA-CAfile "$2" >verify.txt && grep -q '^Signature verification: ok' verify.txt &&
        grep -q '^Timestamp Server Signature verification: ok' verify.txt
}
# Removing the signature gives back the unsigned file apart from the PE checksum (4 bytes at 88 past
# the PE header's start, whose offset the DOS header holds at 0x3C).
unsigned_again() {
    rm -f "$work/removed.exe"
    osslsigncode remove-signature -in "$1" -out "$work/removed.exe" >/dev/null
    python3 - "$2" "$work/removed.exe" <<'PY'
import struct, sys
a, b = (bytearray(open(path, "rb").read()) for path in sys.argv[1:3])
field = struct.unpack_from("<I", a, 0x3C)[0] + 88
if len(a) != len(b):
    sys.exit("%d bytes, the unsigned executable has %d" % (len(b), len(a)))
differing = [i for i in range(len(a)) if a[i] != b[i] and not field <= i < field + 4]
if differing:
    sys.exit("bytes differ from offset %#x on (the checksum is at %#x)" % (differing[0], field))
PY
}
sums_hold() { (cd "$1/$package" && sha256sum --quiet -c SHA256SUMS.txt) && ! cmp -s "$1/$package/SHA256SUMS.txt" "unsigned/$package/SHA256SUMS.txt"; }

for signed in signed signed-pkcs11; do
    for exe in vpRemovalTool.exe vpsim.exe; do
        check "$signed: $exe: the signature and its time stamp verify to the throw-away root" verifies "$signed/$package/$exe" root.pem
        check "$signed: $exe: not to another root" bash -c "! osslsigncode verify -in $signed/$package/$exe -CAfile other-root.pem"
        check "$signed: $exe: without its signature it is the unsigned executable" \
            unsigned_again "$signed/$package/$exe" "unsigned/$package/$exe"
    done
    check "$signed: SHA256SUMS.txt holds the signed files' hashes" sums_hold "$signed"
done

# Under Wine on the demo machine, the signed executable does what the unsigned one does.
same_under_wine() {
    set +e  # as the Wine tests run: the harness's clean-up goes on past a wineserver that has ended
    source "$root_dir/tests/wine/harness.sh"
    cmp "$build/vpRemovalTool.exe" "$work/unsigned/$package/vpRemovalTool.exe" || return 1
    wh_setup "$build/vpRemovalTool.exe"  # hold_open.exe, built beside it, holds the demo's file in use
    local args
    args="$(tr -d '\r\n' <"$root_dir/machines/demo/expected/arguments.txt")"
    WH_ACCEPT_MISSING="security" wh_run unsigned "$root_dir/machines/demo" $args || return 1
    local unsigned_out="$WH_OUT"
    WH_ACCEPT_MISSING="security" wh_run_program signed "$root_dir/machines/demo" \
        "$work/signed/$package/vpRemovalTool.exe" $args || return 1
    # The registry backup's folder has a random name of its own in each run.
    local random='s/vpRemovalTool-backup-[0-9a-f]\{16\}/vpRemovalTool-backup-RANDOM/g'
    local file status=0
    for file in exit_code console.raw hkcu.txt; do
        cmp -s <(sed "$random" "$unsigned_out/$file") <(sed "$random" "$WH_OUT/$file") || { echo "$file differs"; status=1; }
    done
    # Of HKEY_LOCAL_MACHINE, what the tool reads and changes: SOFTWARE and the restart's list (Wine
    # rewrites its video driver keys in each session).
    tool_keys() {
        awk '/^\[/ { key = tolower($0); keep = index(key, "[hkey_local_machine\\software\\") == 1 ||
                      key == "[hkey_local_machine\\system\\currentcontrolset\\control\\session manager]" } keep' "$1"
    }
    diff <(tool_keys "$unsigned_out/hklm.txt") <(tool_keys "$WH_OUT/hklm.txt") || { echo "hklm.txt differs"; status=1; }
    # The log, but for its time of day (line 5).
    diff <(sed -e 5d -e "$random" "$unsigned_out/log.txt") <(sed -e 5d -e "$random" "$WH_OUT/log.txt") >/dev/null || { echo "the log differs"; status=1; }
    return $status
}
check "vpRemovalTool.exe: under Wine the same run on the demo machine" same_under_wine

(( failures == 0 )) || { echo "$failures signing checks failed"; exit 1; }
echo "signing: all checks passed"
