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
  zlib1g-dev              # gzip answers of the metrics endpoint
  prometheus              # promtool and a real Prometheus server for the metrics endpoint's tests
  chromium                # a real headless browser loads the agent's page in the tests
  nlohmann-json3-dev      # reading Prometheus's HTTP API answers in the tests
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

# Some packages start and enable a service of their own when installed (the
# prometheus package: prometheus.service on port 9090). The tests start their
# own servers on free ports, so nothing may be left running or enabled: a
# policy-rc.d that refuses every start is in place for the install (unless the
# machine has one already), and the units the install enabled are disabled.
enabled_units() {
  command -v systemctl >/dev/null 2>&1 || return 0
  systemctl list-unit-files --state=enabled --no-legend 2>/dev/null | awk '{print $1}' | sort
}
policy=/usr/sbin/policy-rc.d
own_policy=""
remove_own_policy() {
  if [ -n "$own_policy" ]; then $sudo rm -f "$policy"; own_policy=""; fi
}
trap remove_own_policy EXIT
if [ ! -e "$policy" ]; then
  printf '#!/bin/sh\n# Written by setup-deps.sh for the length of its install.\nexit 101\n' |
    $sudo tee "$policy" >/dev/null
  $sudo chmod 755 "$policy"
  own_policy=1
fi
units_before=$(enabled_units)

$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"

remove_own_policy
newly_enabled=$(comm -13 <(echo "$units_before") <(enabled_units) | grep -v '^$' || true)
if [ -n "$newly_enabled" ]; then
  echo "Disabling the units the install enabled: $(echo $newly_enabled)"
  if [ -d /run/systemd/system ]; then
    # shellcheck disable=SC2086
    $sudo systemctl disable --now $newly_enabled
  else
    # shellcheck disable=SC2086
    $sudo systemctl disable $newly_enabled
  fi
fi
