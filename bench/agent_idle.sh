#!/usr/bin/env bash
# Measures the agent service at rest with the default configuration: its CPU
# time over an idle period (no client connects), its resident memory and the
# mean period of its turns (one sampling pass and the turn's wait; the passes
# are counted by their level-2 log line, so LOGLEVEL is set to 2).
# Installs the agent into a temporary program folder with its own embedded
# service manager; the default configuration file is written by the agent
# itself, then only PORT and LISTEN are changed (a free port on 127.0.0.1).
#
#   bench/agent_idle.sh [build folder] [seconds]     (defaults: build, 600)
set -euo pipefail

# shellcheck source=SCRIPTDIR/lib.sh
source "$(dirname "$0")/lib.sh"
seconds=${2:-600}
bench_use_build "${1:-}"
bench_install tarvo-idle

# The agent writes its default file on its first start (from a shell it then ends).
"$home/AgentTarvoService" >/dev/null 2>&1 || true
[ -f "$home/TarvoAgent.cfg" ] || { echo "error: no default configuration written" >&2; exit 1; }
port=$(free_port)
sed -i -e "s/^PORT=9000 /PORT=$port /" -e "s/^LISTEN=0.0.0.0 /LISTEN=127.0.0.1 /" \
    -e "s/^LOGLEVEL=0 /LOGLEVEL=2 /" "$home/TarvoAgent.cfg"
passes() { grep -c '^ Carregando Chaves:' "$home/TarvoAgent.log" || true; }

bench_create_service
bench_start_service
hz=$(getconf CLK_TCK)

# utime stime cutime cstime of the agent, in clock ticks.
ticks() { sed 's/^.*) //' "/proc/$pid/stat" | awk '{print $12, $13, $14, $15}'; }

# Let the first passes (catalogue, full loads, first probes) go by.
sleep 20
read -r u0 s0 cu0 cs0 < <(ticks)
p0=$(passes)
t0=$(date +%s.%N)
echo "agent pid $pid, port $port: idle for $seconds s ..."
sleep "$seconds"
read -r u1 s1 cu1 cs1 < <(ticks)
p1=$(passes)
t1=$(date +%s.%N)
rss=$(awk '/^VmRSS/ {print $2}' "/proc/$pid/status")
hwm=$(awk '/^VmHWM/ {print $2}' "/proc/$pid/status")

awk -v u="$((u1 - u0))" -v s="$((s1 - s0))" -v cu="$((cu1 - cu0))" -v cs="$((cs1 - cs0))" \
    -v hz="$hz" -v t0="$t0" -v t1="$t1" -v rss="$rss" -v hwm="$hwm" -v passes="$((p1 - p0))" 'BEGIN {
  wall = t1 - t0
  printf "wall %.1f s\n", wall
  if (passes > 0) printf "%d sampling passes: one turn every %.0f ms, agent CPU %.1f ms per turn\n", passes, 1000 * wall / passes, 1000 * (u + s) / hz / passes
  printf "agent CPU: user %.2f s + system %.2f s = %.3f %% of one core\n", u / hz, s / hz, 100 * (u + s) / hz / wall
  printf "children (probes, rrdtool) CPU: %.2f s = %.3f %% of one core\n", (cu + cs) / hz, 100 * (cu + cs) / hz / wall
  printf "resident memory: %.2f MiB (peak %.2f MiB)\n", rss / 1024, hwm / 1024
}'
