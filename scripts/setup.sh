#!/usr/bin/env bash
# Installs what the build needs (Debian packages) and builds it. Sourced by demo.sh and test.sh.
#
#   source scripts/setup.sh demo    the demo's part: cmake and a C++ compiler, then the optimised vpsim
#                                   alone (the linux-release preset's vpsim target, without the benchmark)
#   source scripts/setup.sh         everything the tests need: GoogleTest, Google Benchmark, MinGW-w64,
#                                   Wine, clang with its runtimes, the signing tools, Chromium; then the
#                                   Windows executable and the simulated machine's debug build as CI
#                                   uses it (the linux-ci preset: vpsim, the conformance programs and the
#                                   benchmark, built so that it is known to build; its figures are the
#                                   optimised build's: docs/BUILDING.md; the unit and scenario test
#                                   programs are built and run by the sanitizer builds)
#
# (The libFuzzer targets are built by scripts/fuzz.sh, the sanitizer builds by test.sh.)
set -euo pipefail

root_dir="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
setup_part="${1:-full}"

packages=(cmake make g++)
if [ "$setup_part" != demo ]; then
    packages+=(python3 libgtest-dev libbenchmark-dev g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine wine64
               clang libclang-rt-dev  # clang with its sanitizer and libFuzzer runtimes: the fuzz targets
               osslsigncode openssl softhsm2 libengine-pkcs11-openssl  # the release's signature, with a PKCS#12 file or a (software) token (scripts/sign-release.sh, check-signing.sh)
               chromium)              # renders the HTML preview in its test
fi
missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
installs_start=$SECONDS
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    as_root=()
    [ "$(id -u)" -eq 0 ] || as_root=(sudo)
    "${as_root[@]}" apt-get update -qq
    lean=()
    [ "$setup_part" = demo ] && lean=(--no-install-recommends)  # the compiler alone
    DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y -qq "${lean[@]}" "${missing[@]}" >/dev/null
fi
setup_installs_seconds=$((SECONDS - installs_start))  # for the caller's timing: the builds come after

cd "$root_dir"
if [ "$setup_part" = demo ]; then
    # The preset's other target, the benchmark, needs Google Benchmark: left out here.
    cmake --preset linux-release -DVP_BUILD_BENCH=OFF >/dev/null
    cmake --build --preset linux-release --target vpsim
else
    cmake --preset windows >/dev/null
    cmake --build --preset windows
    cmake --preset linux-ci >/dev/null
    cmake --build --preset linux-ci
fi
