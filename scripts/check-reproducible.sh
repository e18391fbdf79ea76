#!/usr/bin/env bash
# Builds the release package of the current commit twice, in folders of different names and depths
# (the source tree itself, when it is that commit unchanged, and a clone; else two clones), and
# compares the executables (the tool and vpsim.exe) and the packages byte for byte.
#   scripts/check-reproducible.sh [WORK_DIR]     (a temporary folder when none is given)
set -euo pipefail

root_dir="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
work="${1:-}"
if [[ -z "$work" ]]; then
    work="$(mktemp -d "${TMPDIR:-/tmp}/vp-repro.XXXXXX")"
    trap 'rm -rf "$work"' EXIT
fi
commit="$(git -C "$root_dir" rev-parse HEAD)"
echo "Reproducibility of commit $commit"

# The first build is the source tree's own (build/windows) when the tree is the commit as it stands
# (git sees nothing changed or added), as on CI's clean clone: one build fewer. Else two clones.
builds=("$work/a" "$work/second/build-of-the-same-commit")
[[ -z "$(git -C "$root_dir" status --porcelain)" ]] && builds[0]="$root_dir"
for dir in "${builds[@]}"; do
    if [[ "$dir" != "$root_dir" ]]; then
        rm -rf "$dir"
        mkdir -p "$(dirname "$dir")"
        git clone --quiet --no-local "$root_dir" "$dir"
        git -C "$dir" checkout --quiet --detach "$commit"
    fi
    (cd "$dir" && cmake --preset windows >/dev/null && cmake --build --preset windows --target package >/dev/null) \
        || { echo "build in $dir failed" >&2; exit 1; }
done

status=0
first="${builds[0]}/build/windows"
second="${builds[1]}/build/windows"
for file in vpRemovalTool.exe vpsim.exe package/*-win64.zip; do  # the unsigned package (a signed one may lie beside it)
    for candidate in $first/$file; do
        name="${candidate#$first/}"
        if cmp "$first/$name" "$second/$name"; then
            echo "same: $name ($(sha256sum <"$first/$name" | cut -c1-64))"
        else
            echo "DIFFERENT: $name" >&2
            status=1
        fi
    done
done
exit $status
