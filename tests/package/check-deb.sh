#!/usr/bin/env bash
# Builds the Debian package and checks it without installing it: its files and
# modes (unpacked into a temporary root), its maintainer scripts, its units
# (systemd-analyze verify against that root) and lintian. Exit status 0 when
# everything holds; each failure is printed.
set -uo pipefail

top=${1:?source folder}
out=${2:?output folder}
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

# TARVO_DEB names a package built already (by hand: skips the build).
deb=${TARVO_DEB:-}
if [ -z "$deb" ]; then
  deb=$("$top/scripts/build-deb.sh" "$out") || { echo "FAIL: make deb" >&2; exit 1; }
fi
version=$(sed -n 's/^project(TarvoAgent VERSION \([0-9.]*\).*/\1/p' "$top/CMakeLists.txt")
case "$(basename "$deb")" in
  "tarvo-agent_${version}_$(dpkg --print-architecture).deb") ;;
  *) fail "package name $(basename "$deb") does not carry version $version" ;;
esac

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg-deb -x "$deb" "$root"
dpkg-deb -e "$deb" "$root/DEBIAN"

mode_of() { stat -c %a "$root/$1" 2>/dev/null; }
for program in AgentTarvoService tarvo-sc tarvo-get; do
  [ "$(mode_of usr/lib/tarvo/$program)" = 755 ] || fail "/usr/lib/tarvo/$program missing or not 755"
done
# Programs the build made beyond those two are packaged as well.
for program in TarvoWDService TarvoServiceInstaller TarvoAgentCliente; do
  if [ -n "$(find "$out"/src/obj-* -name "$program" -type f -perm -u+x 2>/dev/null)" ]; then
    [ -x "$root/usr/lib/tarvo/$program" ] || fail "$program was built but not packaged"
  fi
done
for command in tarvo-sc tarvo-get; do
  [ "$(mode_of usr/bin/$command)" = 755 ] || fail "/usr/bin/$command launcher missing"
  grep -q 'TARVO_HOME=${TARVO_HOME:-/var/lib/tarvo}' "$root/usr/bin/$command" ||
    fail "launcher $command sets no TARVO_HOME"
done
[ -d "$root/var/lib/tarvo" ] || fail "/var/lib/tarvo missing"
unit=$root/lib/systemd/system/tarvo-agent.service
[ "$(mode_of lib/systemd/system/tarvo-agent.service)" = 644 ] || fail "agent unit missing or not 644"
grep -qx 'Description=Tarvo Agent Service' "$unit" || fail "agent unit description"
grep -qx 'Type=notify' "$unit" || fail "agent unit is not Type=notify"
grep -qx 'Environment=TARVO_HOME=/var/lib/tarvo' "$unit" || fail "agent unit sets no TARVO_HOME"
if [ -x "$root/usr/lib/tarvo/TarvoWDService" ]; then
  grep -qx 'Description=Tarvo WatchDog Service' "$root/lib/systemd/system/tarvo-watchdog.service" ||
    fail "watchdog unit missing"
fi
grep -q 'TarvoAgent.log' "$root/etc/logrotate.d/tarvo-agent" || fail "no logrotate rule"
grep -q 'deb-systemd-helper enable' "$root/DEBIAN/postinst" || fail "postinst does not enable the agent"
grep -q "deb-systemd-invoke \$_dh_action 'tarvo-agent.service'" "$root/DEBIAN/postinst" ||
  fail "postinst does not start the agent"
grep -q 'rm -rf /var/lib/tarvo' "$root/DEBIAN/postrm" || fail "purge leaves /var/lib/tarvo"
dpkg-deb -f "$deb" Depends | grep -q 'rrdtool' || fail "no dependency on rrdtool"
dpkg-deb -f "$deb" Depends | grep -q 'iproute2' || fail "no dependency on iproute2"

units=("$unit")
[ -f "$root/lib/systemd/system/tarvo-watchdog.service" ] && units+=("$root/lib/systemd/system/tarvo-watchdog.service")
# The units are checked inside the unpacked root, which gets this machine's
# system units for what they depend on (targets).
cp -rn /lib/systemd/system/. "$root/lib/systemd/system/" 2>/dev/null
verify=$(systemd-analyze verify --root="$root" "${units[@]#$root}" 2>&1) || fail "systemd-analyze verify: $verify"
echo "$verify" | grep -i 'tarvo' && fail "systemd-analyze verify warns about the units"

lintian_out=$(lintian --fail-on error "$deb" 2>&1) || fail "lintian: $lintian_out"
echo "$lintian_out"

[ "$failures" -eq 0 ] && echo "package checks passed: $deb"
exit $((failures > 0))
