#!/usr/bin/env bash
# Runs the tool on the demo machine (machines/demo, a Windows 10 machine with the product installed)
# through the simulated Windows (the optimised build of vpsim), then shows the console, the log and what
# the run changed.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh" demo >/dev/null

bundle_upgrade_code="{2A9F6E13-4B7C-4E85-9D20-B5C8E1F4A763}"
out_dir="$(mktemp -d)/after"

echo
echo "== vpRemovalTool.exe $bundle_upgrade_code   (machines/demo, on the simulated Windows)"
echo "== console"
set +e
build/linux-release/vpsim run machines/demo --out "$out_dir" -- "$bundle_upgrade_code"
exit_code=$?
set -e
echo "== exit code: $exit_code"
echo
echo "== log file C:\\Windows\\TEMP\\vpRemovalTool.txt"
find "$out_dir/drive_c" -ipath "*/windows/temp/vpremovaltool.txt" -exec cat {} \; | tr -d '\r'
echo
echo "== what the run changed"
build/linux-release/vpsim diff machines/demo "$out_dir"
echo
echo "The machine after the run is in $out_dir"
