#!/usr/bin/env bash
# Builds everything and runs every test: unit tests and whole runs on the simulated machine, and the
# real executable under Wine.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
ctest --preset linux
# The release package, built twice from the same commit in two folders, must be the same byte for byte.
bash "$(dirname "${BASH_SOURCE[0]}")/check-reproducible.sh"
