#!/usr/bin/env bash
# Installs the system packages the build, the tests and the running agent need,
# and only those that are missing. Used by both `make run` and `make test`.
set -euo pipefail

packages=(
  cmake make g++          # build
  libgtest-dev googletest # unit and end-to-end tests
  iproute2                # `ip address show` (INFO) and `ss` (default probes)
  procps                  # ps, used by tests to look for zombies
  rrdtool                 # the RRD feed starts it as an outside program
  qt6-base-dev libgl-dev  # the installer and desktop client windows (Qt 6 Widgets)
  clang libclang-rt-14-dev # `make sanitize` and `make fuzz` (libFuzzer, sanitizer runtimes)
  libsystemd-dev          # sd_notify and sd-bus for the systemd service backend
  libssl-dev openssl      # TLS of the agent and tarvo-get; openssl s_client in the tests
  dbus python3-dbusmock   # tests of the systemd backend against a private mock bus
  systemd                 # systemd-analyze verify on the unit files
  debhelper dpkg-dev fakeroot lintian # `make deb`
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing missing packages: ${missing[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null 2>&1; then
    sudo="sudo"
  else
    echo "error: these packages are missing and installing them needs root: ${missing[*]}" >&2
    exit 1
  fi
fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
