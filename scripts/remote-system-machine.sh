#!/usr/bin/env bash
# Writes DEST: a copy of machines/demo on which the tool runs as LocalSystem in a remote desktop
# session, as a deployment system starts it while someone is logged on remotely. Only there do the
# smart cards go through the session-0 worker (impersonation, a thread created suspended and given
# its token), so the sweeps run on this copy too.
set -euo pipefail
dest=${1:?usage: remote-system-machine.sh DEST}
source_dir="$(dirname "${BASH_SOURCE[0]}")/../machines/demo"
rm -rf "$dest"
mkdir -p "$(dirname "$dest")"
cp -R "$source_dir" "$dest"
rm -rf "$dest/expected"
printf '\n[run]\nremote_session=yes\naccount=localsystem\n' >> "$dest/machine.ini"
