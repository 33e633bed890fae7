#!/usr/bin/env bash
# Builds the Debian packages (tarvo-agent, tarvo-client and the source package)
# and checks them without installing them: their names and version, their files
# and modes (unpacked into a temporary root), what they depend on, their
# maintainer scripts, their units (systemd-analyze verify), lintian, and the
# packaged agent itself, run by the packaged tarvo-sc in a temporary folder,
# answering ABOUT with the changelog's version. Exit status 0 when everything
# holds; each failure is printed.
set -uo pipefail

top=${1:?source folder}
out=${2:?output folder}
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

# TARVO_DEB_DIR names a folder with packages built already (by hand: skips the build).
dir=${TARVO_DEB_DIR:-}
if [ -z "$dir" ]; then
  "$top/scripts/build-deb.sh" "$out" >/dev/null || { echo "FAIL: make deb" >&2; exit 1; }
  dir=$out
fi
version=$(dpkg-parsechangelog -l "$top/debian/changelog" -S Version)
arch=$(dpkg --print-architecture)
agent_deb=$dir/tarvo-agent_${version}_${arch}.deb
client_deb=$dir/tarvo-client_${version}_${arch}.deb
changes=$dir/tarvo-agent_${version}_${arch}.changes
for file in "$agent_deb" "$client_deb" "$dir/tarvo-agent_${version}.dsc" "$changes"; do
  [ -f "$file" ] || { echo "FAIL: $(basename "$file") was not built (version $version)" >&2; exit 1; }
done

root=$(mktemp -d)
run=$(mktemp -d)
cleanup() {
  [ -n "${agent_pid:-}" ] && kill -9 "$agent_pid" 2>/dev/null
  rm -rf "$root" "$run"
}
trap cleanup EXIT
for deb in "$agent_deb" "$client_deb"; do dpkg-deb -x "$deb" "$root"; done
mkdir -p "$root/DEBIAN"
dpkg-deb -e "$agent_deb" "$root/DEBIAN/agent"
dpkg-deb -e "$client_deb" "$root/DEBIAN/client"

# --- files -------------------------------------------------------------------
mode_of() { stat -c %a "$root/$1" 2>/dev/null; }
owned_by() { dpkg-deb -c "$1" | awk '{print $6}' | sed 's|^\./|/|'; }
agent_files=$(owned_by "$agent_deb")
client_files=$(owned_by "$client_deb")
for program in AgentTarvoService TarvoWDService tarvo-sc tarvo-get; do
  [ "$(mode_of usr/lib/tarvo/$program)" = 755 ] || fail "/usr/lib/tarvo/$program missing or not 755"
  grep -qx "/usr/lib/tarvo/$program" <<<"$agent_files" || fail "$program is not in tarvo-agent"
done
for program in TarvoServiceInstaller TarvoAgentCliente; do
  grep -qx "/usr/lib/tarvo/$program" <<<"$client_files" || fail "$program is not in tarvo-client"
done
for command in tarvo-sc tarvo-get tarvo-agent-client tarvo-service-installer; do
  [ "$(mode_of usr/bin/$command)" = 755 ] || fail "/usr/bin/$command launcher missing"
  grep -q 'TARVO_HOME=${TARVO_HOME:-/var/lib/tarvo}' "$root/usr/bin/$command" ||
    fail "launcher $command sets no TARVO_HOME"
done
grep -q 'exec pkexec /usr/bin/tarvo-service-installer' "$root/usr/bin/tarvo-service-installer" ||
  fail "the installer's launcher does not ask for root through pkexec"
grep -q '/usr/bin/tarvo-service-installer</annotate>' \
  "$root/usr/share/polkit-1/actions/org.tarvo.service-installer.policy" ||
  fail "no polkit action for the installer's launcher"
for page in man8/tarvo-sc.8 man8/tarvo-agent.8 man8/tarvo-service-installer.8 man1/tarvo-agent-client.1 \
            man1/tarvo-get.1; do
  [ -f "$root/usr/share/man/$page.gz" ] || fail "manual page $page missing"
done
for entry in usr/share/applications/tarvo-agent-client.desktop \
             usr/share/applications/tarvo-service-installer.desktop \
             etc/xdg/autostart/tarvo-agent-client-autostart.desktop; do
  grep -q '^Exec=tarvo-' "$root/$entry" 2>/dev/null || fail "desktop entry $entry missing"
  icon=$(sed -n 's/^Icon=//p' "$root/$entry")
  [ -f "$root/usr/share/icons/hicolor/scalable/apps/$icon.svg" ] || fail "icon of $entry missing"
done
[ -d "$root/var/lib/tarvo" ] || fail "/var/lib/tarvo missing"
grep -q 'TarvoAgent.log' "$root/etc/logrotate.d/tarvo-agent" || fail "no logrotate rule"

# --- what the packages depend on ------------------------------------------------
# The agent's package pulls no window system: no Qt, X, GL or Wayland library.
agent_needs=$(dpkg-deb -f "$agent_deb" Depends Pre-Depends Recommends)
if grep -Eiq 'qt|libx|libgl|mesa|wayland|xcb|libdrm' <<<"$agent_needs"; then
  fail "tarvo-agent needs graphical libraries: $agent_needs"
fi
grep -q 'iproute2' <<<"$agent_needs" || fail "tarvo-agent does not depend on iproute2"
grep -q 'rrdtool' <<<"$agent_needs" || fail "tarvo-agent does not recommend rrdtool"
dpkg-deb -f "$client_deb" Depends | grep -q "tarvo-agent (= $version)" ||
  fail "tarvo-client does not depend on the same version of tarvo-agent"

# --- units and maintainer scripts ------------------------------------------------
units=()
for name in tarvo-agent tarvo-watchdog; do
  unit=$root/lib/systemd/system/$name.service
  units+=("/lib/systemd/system/$name.service")
  [ "$(mode_of lib/systemd/system/$name.service)" = 644 ] || fail "$name.service missing or not 644"
  grep -qx 'Type=notify' "$unit" || fail "$name.service is not Type=notify"
  grep -qx 'Environment=TARVO_HOME=/var/lib/tarvo' "$unit" || fail "$name.service sets no TARVO_HOME"
  grep -q '^Documentation=man:' "$unit" || fail "$name.service has no Documentation="
done
grep -qx 'Description=Tarvo Agent Service' "$root/lib/systemd/system/tarvo-agent.service" ||
  fail "agent unit description"
grep -qx 'Description=Tarvo WatchDog Service' "$root/lib/systemd/system/tarvo-watchdog.service" ||
  fail "watchdog unit description"
scripts=$root/DEBIAN/agent
grep -q "deb-systemd-helper enable 'tarvo-agent.service'" "$scripts/postinst" ||
  fail "postinst does not enable the agent"
# The watchdog is enabled only where it was enabled before (an upgrade).
grep -q "deb-systemd-helper debian-installed 'tarvo-watchdog.service'" "$scripts/postinst" ||
  fail "postinst enables the watchdog"
# Both units: started or restarted after an upgrade, stopped on removal.
for name in tarvo-agent tarvo-watchdog; do
  grep -q "deb-systemd-invoke \$_dh_action '$name.service'" "$scripts/postinst" ||
    fail "postinst does not restart $name after an upgrade"
  grep -q "deb-systemd-invoke stop '$name.service'" "$scripts/prerm" ||
    fail "prerm does not stop $name on removal"
done
# Without systemd: the embedded manager's services are stopped before an
# upgrade and on removal, and started again after an upgrade.
grep -q 'tarvo_stop_services > /var/lib/tarvo/scm/restart-after-upgrade' "$scripts/preinst" ||
  fail "preinst does not stop the embedded manager's services before an upgrade"
grep -q 'tarvo_stop_services >/dev/null' "$scripts/prerm" ||
  fail "prerm does not stop the embedded manager's services"
grep -q 'tarvo_sc start "$name"' "$scripts/postinst" ||
  fail "postinst does not start the stopped services again"
grep -q 'configure|abort-upgrade)' "$scripts/postinst" ||
  fail "postinst does not start the stopped services again when an upgrade fails"
grep -q 'no service manager has' "$scripts/postinst" ||
  fail "postinst says nothing when no service manager started the agent"
grep -q 'rm -rf /var/lib/tarvo' "$scripts/postrm" || fail "purge leaves /var/lib/tarvo"
for script in "$scripts"/preinst "$scripts"/prerm "$scripts"/postinst "$scripts"/postrm; do
  sh -n "$script" || fail "$(basename "$script") is not valid shell"
done

# The units are checked inside the unpacked root, which gets this machine's
# system units for what they depend on (targets).
cp -rn /lib/systemd/system/. "$root/lib/systemd/system/" 2>/dev/null
verify=$(systemd-analyze verify --man=no --root="$root" "${units[@]}" 2>&1) ||
  fail "systemd-analyze verify: $verify"
echo "$verify" | grep -i 'tarvo' && fail "systemd-analyze verify warns about the units"

# --- lintian --------------------------------------------------------------------
lintian_out=$(lintian -EvIL +pedantic --fail-on error,warning "$changes" 2>&1) ||
  fail "lintian: $(grep -E '^[EW]:' <<<"$lintian_out")"
grep -E '^[EWIXP]:' <<<"$lintian_out"

# --- the packaged programs ----------------------------------------------------------
# The agent of the package, run as a service by the package's tarvo-sc, tells
# the version of the changelog.
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
mkdir -p "$run/home"
printf 'PORT=%s\r\nLISTEN=127.0.0.1\r\nRRDTOOL=FALSE\r\n' "$port" > "$run/home/TarvoAgent.cfg"
sc() { TARVO_SCM_BACKEND=embedded TARVO_SCM_ROOT=$run/scm TARVO_HOME=$run/home \
       "$root/usr/lib/tarvo/tarvo-sc" "$@"; }
sc create "Tarvo Agent Service" "$root/usr/lib/tarvo/AgentTarvoService" >/dev/null &&
  sc start "Tarvo Agent Service" >/dev/null || fail "the packaged tarvo-sc cannot start the agent"
about=""
for _ in $(seq 1 200); do
  agent_pid=$(sc query "Tarvo Agent Service" | sed -n 's/^PID : //p')
  about=$( (exec 3<>"/dev/tcp/127.0.0.1/$port" && printf 'ABOUT\nQUIT\n' >&3 &&
            timeout 5 cat <&3 | tr -d '\0') 2>/dev/null) && [ -n "$about" ] && break
  sleep 0.1
done
grep -q "version $version" <<<"$about" || fail "the agent's ABOUT does not say version $version: $about"
sc stop "Tarvo Agent Service" >/dev/null
for _ in $(seq 1 300); do
  [ -n "${agent_pid:-}" ] && [ -d "/proc/$agent_pid" ] || break
  sleep 0.1
done

[ "$failures" -eq 0 ] && echo "package checks passed: $agent_deb $client_deb"
exit $((failures > 0))
