#!/usr/bin/env bash
# Installs what the build and the tests need (Debian packages), then builds the tool for Windows
# (MinGW-w64) and natively against the simulated machine: the debug build that the tests use and the
# optimised one that the demo uses. Sourced by demo.sh and test.sh. (The libFuzzer targets are
# built by scripts/fuzz.sh.)
set -euo pipefail

root_dir="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

packages=(cmake make g++ python3 libgtest-dev libbenchmark-dev g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine wine64
          clang libclang-rt-dev  # clang with its sanitizer and libFuzzer runtimes: the fuzz targets
          osslsigncode openssl softhsm2 libengine-pkcs11-openssl  # the release's signature, with a PKCS#12 file or a (software) token (scripts/sign-release.sh, check-signing.sh)
          chromium)              # renders the HTML preview in its test
missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    as_root=()
    [ "$(id -u)" -eq 0 ] || as_root=(sudo)
    "${as_root[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
fi

cd "$root_dir"
cmake --preset windows >/dev/null
cmake --build --preset windows
cmake --preset linux >/dev/null
cmake --build --preset linux
cmake --preset linux-release >/dev/null
cmake --build --preset linux-release
