#!/usr/bin/env bash
# `make deb`: builds the source package and the binary packages tarvo-agent and
# tarvo-client with debhelper from a copy of the work tree in <out>/src, and
# leaves them in <out>. Prints the paths of the two .deb files.
set -euo pipefail

out=${1:?output folder}
top=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$out"
out=$(cd "$out" && pwd)

rm -rf "$out/src"
mkdir -p "$out/src"
# The sources only: no build folders, no run folder, no version control.
tar -C "$top" --exclude=./build --exclude='./build-*' --exclude=./run --exclude=./.git \
    --exclude='./obj-*' -cf - . | tar -C "$out/src" -xf -

rm -f "$out"/tarvo-*.deb "$out"/tarvo-*.ddeb "$out"/tarvo-agent_*.dsc "$out"/tarvo-agent_*.tar.* \
      "$out"/tarvo-agent_*.changes "$out"/tarvo-agent_*.buildinfo
(cd "$out/src" && dpkg-buildpackage -us -uc -j"${JOBS:-2}" >"$out/build.log" 2>&1) || {
  tail -n 40 "$out/build.log" >&2
  exit 1
}
ls "$out"/tarvo-agent_*.deb "$out"/tarvo-client_*.deb
