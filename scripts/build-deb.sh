#!/usr/bin/env bash
# `make deb`: builds tarvo-agent_<version>_<arch>.deb with debhelper from a copy of
# the work tree in <out>/src and leaves the package in <out>. Prints its path.
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

rm -f "$out"/tarvo-agent_*.deb "$out"/tarvo-agent-dbgsym_*.deb
(cd "$out/src" && dpkg-buildpackage -b -us -uc -j"${JOBS:-2}" >"$out/build.log" 2>&1) || {
  tail -n 40 "$out/build.log" >&2
  exit 1
}
ls "$out"/tarvo-agent_*.deb
