#!/usr/bin/env bash
# By hand, as root: installs, upgrades, removes and purges the packages for
# real in throw-away Debian 12 roots made by debootstrap, once without systemd
# (a chroot: the embedded service manager) and once with systemd running
# (systemd-nspawn -b), and checks what an administrator relies on:
#
#   - tarvo-agent alone pulls no Qt, GL or X package onto a bare system (with
#     and without its recommendations; the figures are printed);
#   - the services that ran before an upgrade run afterwards, from the new
#     programs, and say the new version; the edited TarvoAgent.cfg survives the
#     upgrade byte for byte;
#   - after a removal no process of the package is left, and /var/lib/tarvo
#     stays; after a purge no file of the package is left.
#
# Usage: tests/package/try-debs.sh OLD_DEB_DIR NEW_DEB_DIR [WORK_DIR]
#   OLD_DEB_DIR, NEW_DEB_DIR: folders with tarvo-agent_*.deb and
#   tarvo-client_*.deb of two versions (make deb, then again after a new
#   debian/changelog entry). WORK_DIR (default /var/tmp/tarvo-try-debs) keeps the
#   debootstrap tarball between runs.
# Needs: debootstrap, systemd-container (systemd-nspawn), the Debian mirror.
set -uo pipefail

old_dir=$(cd "${1:?old package folder}" && pwd)
new_dir=$(cd "${2:?new package folder}" && pwd)
work=${3:-/var/tmp/tarvo-try-debs}
mirror=${MIRROR:-http://deb.debian.org/debian}
mkdir -p "$work"
failures=0
fail() { echo "FAIL [$mode]: $*" >&2; failures=$((failures + 1)); }
note() { echo "[$mode] $*"; }

version_of() { dpkg-deb -f "$(ls "$1"/tarvo-agent_*.deb | head -n1)" Version; }
old_version=$(version_of "$old_dir")
new_version=$(version_of "$new_dir")

# A bare Debian 12 (minbase), made once.
base=$work/bookworm-minbase.tgz
if [ ! -f "$base" ]; then
  rm -rf "$work/bootstrap"
  debootstrap --variant=minbase bookworm "$work/bootstrap" "$mirror" >"$work/debootstrap.log" 2>&1 ||
    { echo "debootstrap failed: see $work/debootstrap.log" >&2; exit 1; }
  cp /etc/resolv.conf "$work/bootstrap/etc/resolv.conf"
  tar -C "$work/bootstrap" -czf "$base" . && rm -rf "$work/bootstrap"
fi

# --- running commands in the root --------------------------------------------
inroot() {
  if [ "$mode" = systemd ]; then
    nsenter -t "$init_pid" -a env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 "$@"
  else
    chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 "$@"
  fi
}
apt_in() { inroot env DEBIAN_FRONTEND=noninteractive apt-get -y -q "$@"; }

start_root() {
  root=$work/$mode
  mountpoint -q "$root/proc" 2>/dev/null && umount "$root/proc"
  rm -rf "$root" && mkdir -p "$root" && tar -C "$root" -xzf "$base" || exit 1
  active=$root
  chroot "$root" apt-get -q update >/dev/null
  if [ "$mode" = systemd ]; then
    chroot "$root" env DEBIAN_FRONTEND=noninteractive apt-get -y -q install systemd systemd-sysv dbus \
      >"$work/$mode-systemd.log" 2>&1 || { echo "cannot install systemd in the root" >&2; exit 1; }
    systemd-nspawn -b -D "$root" --register=no --keep-unit -q >"$work/$mode-boot.log" 2>&1 &
    nspawn_pid=$!
    init_pid=""
    for _ in $(seq 1 300); do
      init_pid=$(pgrep -P "$nspawn_pid" | head -n1)
      [ -n "$init_pid" ] && inroot systemctl is-system-running --wait >/dev/null 2>&1 && break
      sleep 0.2
    done
    [ "$(inroot systemctl is-system-running 2>/dev/null)" = running ] ||
      { echo "systemd did not come up in the container" >&2; exit 1; }
  else
    mount -t proc proc "$root/proc"
  fi
  # /var/tmp: the container mounts a file system of its own on /tmp.
  # (1.0.0 had no tarvo-client: its windows were in tarvo-agent.)
  mkdir -p "$root/var/tmp/debs/old" "$root/var/tmp/debs/new"
  find "$old_dir" -maxdepth 1 \( -name 'tarvo-agent_*.deb' -o -name 'tarvo-client_*.deb' \) \
    -exec cp {} "$root/var/tmp/debs/old/" \;
  find "$new_dir" -maxdepth 1 \( -name 'tarvo-agent_*.deb' -o -name 'tarvo-client_*.deb' \) \
    -exec cp {} "$root/var/tmp/debs/new/" \;
  in_root_deb() { local f; f=$(ls "$root/var/tmp/debs/$1"/"$2"_*.deb 2>/dev/null | head -n1); echo "${f#"$root"}"; }
  agent_old=$(in_root_deb old tarvo-agent)
  client_old=$(in_root_deb old tarvo-client)
  agent_new=$(in_root_deb new tarvo-agent)
  client_new=$(in_root_deb new tarvo-client)
  [ -n "$agent_old" ] && [ -n "$agent_new" ] && [ -n "$client_new" ] ||
    { echo "the package folders lack tarvo-agent or tarvo-client" >&2; exit 1; }
}

# Ends the container, or kills what still runs in the chroot by process id.
stop_root() {
  if [ "$mode" = systemd ]; then
    inroot systemctl poweroff >/dev/null 2>&1
    for _ in $(seq 1 300); do kill -0 "$nspawn_pid" 2>/dev/null || break; sleep 0.2; done
    kill -9 "$nspawn_pid" 2>/dev/null
  else
    for link in /proc/[0-9]*/root; do
      [ "$(readlink "$link" 2>/dev/null)" = "$root" ] || continue
      pid=${link#/proc/}; pid=${pid%/root}
      kill -9 "$pid" 2>/dev/null
    done
    sleep 0.5
    umount "$root/proc"
  fi
  active=""
}
active=""
# Whatever way the script ends, the root in use is stopped.
trap '[ -n "$active" ] && stop_root' EXIT

# Processes of the root that run a program of /usr/lib/tarvo: "program pid".
package_processes() {
  inroot sh -c 'for p in /proc/[0-9]*; do
                  exe=$(readlink "$p/exe" 2>/dev/null) || continue
                  case "$exe" in /usr/lib/tarvo/*) echo "$exe ${p#/proc/}";; esac
                done'
}
pid_of() { package_processes | awk -v p="/usr/lib/tarvo/$1" '$1 == p {print $2; exit}'; }

# ABOUT from the agent on its configured port.
about() {
  inroot bash -c "exec 3<>/dev/tcp/127.0.0.1/$port && printf 'ABOUT\nQUIT\n' >&3 && timeout 5 cat <&3" \
    2>/dev/null | tr -d '\0' | head -n1
}

wait_for() {  # wait_for SECONDS COMMAND...
  local tries=$(($1 * 5)); shift
  for _ in $(seq 1 "$tries"); do "$@" && return 0; sleep 0.2; done
  return 1
}
agent_says() { about | grep -q "version $1"; }

# Waits until the agent answers ABOUT with the version and the watchdog runs;
# sets agent_pid and watchdog_pid.
services_running() {  # services_running VERSION WHEN
  wait_for 30 agent_says "$1" || fail "$2 the agent does not answer ABOUT with $1"
  wait_for 30 test -n "$(pid_of TarvoWDService)" || fail "$2 the watchdog does not run"
  agent_pid=$(pid_of AgentTarvoService)
  watchdog_pid=$(pid_of TarvoWDService)
  note "running $2: agent $agent_pid, watchdog $watchdog_pid"
}

# The packages apt would add for `apt-get install ARGS`, and their installed
# size (the packages' Installed-Size, ours read from the .deb).
simulate() {
  local output names kib
  output=$(apt_in install -s "$@" 2>/dev/null)
  names=$(grep '^Inst ' <<<"$output" | awk '{print $2}' | tr '\n' ' ')
  kib=$(inroot apt-cache show --no-all-versions $(tr ' ' '\n' <<<"$names" | grep -v '^tarvo-') |
        awk '/^Installed-Size:/ {sum += $2} END {print sum + 0}')
  local deb size
  for deb in "$@"; do
    case "$deb" in
      *.deb) size=$(dpkg-deb -f "$root$deb" Installed-Size 2>/dev/null); kib=$((kib + ${size:-0})) ;;
    esac
  done
  echo "$(wc -w <<<"$names") packages, $((kib / 1024)) MiB: $names"
}

# --- one round -------------------------------------------------------------------------
# What the new tarvo-agent pulls onto the bare system of the root.
pulled_packages() {
  local with without both
  with=$(simulate "$agent_new")
  without=$(simulate --no-install-recommends "$agent_new")
  both=$(simulate "$agent_new" "$client_new")
  note "tarvo-agent with its recommendations adds $with"
  note "tarvo-agent without recommendations adds $without"
  note "tarvo-client adds $((${both%% *} - ${with%% *})) packages more than tarvo-agent alone"
  # rrdtool draws with cairo, which brings X client libraries; nothing else.
  local desktop=' (libqt6[^ ]*|qt6-[^ ]*|libgl1[^ ]*|libglx[^ ]*|libegl[^ ]*|libgles[^ ]*|mesa-[^ ]*|libllvm[^ ]*|libwayland[^ ]*|libdrm[^ ]*|xserver[^ ]*|libxkb[^ ]*)( |$)'
  local x_client=' (libx11-[^ ]*|libxcb[^ ]*|libxext[^ ]*|libxrender[^ ]*|libxau[^ ]*|libxdmcp[^ ]*)( |$)'
  grep -Eq "$desktop" <<<"$with" && fail "tarvo-agent pulls Qt, GL or a display server: $with"
  grep -Eq "$desktop|$x_client" <<<"$without" &&
    fail "tarvo-agent without recommendations pulls graphical libraries: $without"
}

# Installs the old packages (tarvo-client when there is one: 1.0.0 had the
# windows in tarvo-agent), upgrades to the new ones, removes, purges; then
# installs the new tarvo-agent afresh and purges it again.
round() {
  mode=$1
  start_root
  port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  pulled_packages

  # The configuration, edited before the first start (a free port, not 9000).
  mkdir -p "$root/var/lib/tarvo"
  printf 'PORT=%s\r\nLISTEN=127.0.0.1\r\n# edited by hand\r\nLOGLEVEL=2\r\n' "$port" \
    > "$root/var/lib/tarvo/TarvoAgent.cfg"
  local config_sum
  config_sum=$(sha256sum < "$root/var/lib/tarvo/TarvoAgent.cfg")

  local old_packages=("$agent_old")
  [ -n "$client_old" ] && old_packages+=("$client_old")
  apt_in install "${old_packages[@]}" >/dev/null 2>&1 || fail "install of $old_version failed"
  if [ "$mode" = systemd ]; then
    wait_for 30 inroot systemctl is-active --quiet tarvo-agent || fail "the agent unit did not start"
    [ "$(inroot systemctl is-enabled tarvo-watchdog 2>/dev/null)" = disabled ] ||
      fail "the watchdog unit is not installed disabled"
    inroot systemctl enable --now tarvo-watchdog >/dev/null 2>&1 || fail "the watchdog unit does not start"
  else
    inroot tarvo-sc create "Tarvo Agent Service" /usr/lib/tarvo/AgentTarvoService --start auto >/dev/null &&
      inroot tarvo-sc create "Tarvo WatchDog Service" /usr/lib/tarvo/TarvoWDService --start auto >/dev/null ||
      fail "tarvo-sc create failed"
    inroot tarvo-sc boot >/dev/null || fail "tarvo-sc boot failed"
  fi
  services_running "$old_version" "before the upgrade"
  local old_agent=$agent_pid old_watchdog=$watchdog_pid

  # Upgrade.
  local log
  log=$(apt_in install "$agent_new" "$client_new" 2>&1) || fail "upgrade failed: $log"
  services_running "$new_version" "after the upgrade"
  [ -n "$agent_pid" ] && [ "$agent_pid" != "$old_agent" ] || fail "the agent was not restarted"
  [ -n "$watchdog_pid" ] && [ "$watchdog_pid" != "$old_watchdog" ] || fail "the watchdog was not restarted"
  [ "$(sha256sum < "$root/var/lib/tarvo/TarvoAgent.cfg")" = "$config_sum" ] ||
    fail "TarvoAgent.cfg changed in the upgrade"
  [ "$(package_processes | wc -l)" -eq 2 ] || fail "other processes of the package: $(package_processes)"
  note "installed: tarvo-agent $(inroot dpkg-query -W -f '${Installed-Size}' tarvo-agent) KiB," \
       "tarvo-client $(inroot dpkg-query -W -f '${Installed-Size}' tarvo-client) KiB"

  # Remove.
  apt_in remove tarvo-client tarvo-agent >/dev/null 2>&1 || fail "remove failed"
  wait_for 10 test -z "$(package_processes)" || fail "left running after remove: $(package_processes)"
  [ -f "$root/var/lib/tarvo/TarvoAgent.cfg" ] || fail "remove took /var/lib/tarvo with it"
  [ "$(sha256sum < "$root/var/lib/tarvo/TarvoAgent.cfg")" = "$config_sum" ] ||
    fail "TarvoAgent.cfg changed in the removal"

  # Purge.
  apt_in purge tarvo-client tarvo-agent >/dev/null 2>&1 || fail "purge failed"
  local left
  left=$(inroot find / -xdev -iname '*tarvo*' -not -path '/var/tmp/debs/*' 2>/dev/null)
  [ -z "$left" ] || fail "purge left: $left"
  [ -z "$(package_processes)" ] || fail "left running after purge: $(package_processes)"

  # A fresh installation of the new version: started by systemd, or a word
  # that nothing started it.
  log=$(apt_in install "$agent_new" 2>&1) || fail "install of $new_version failed"
  if [ "$mode" = systemd ]; then
    wait_for 30 inroot systemctl is-active --quiet tarvo-agent || fail "the agent unit did not start"
  else
    grep -q 'no service manager has' <<<"$log" || fail "postinst said nothing about the agent not running"
  fi
  apt_in purge tarvo-agent >/dev/null 2>&1 || fail "purge failed"
  [ -z "$(package_processes)" ] || fail "left running after purge: $(package_processes)"

  stop_root
  rounds=$((rounds + 1))
}

rounds=0
round plain
round systemd

[ "$rounds" -eq 2 ] || fail "only $rounds of 2 rounds ran to their end"
[ "$failures" -eq 0 ] && echo "all rounds passed ($old_version -> $new_version)"
exit $((failures > 0))
