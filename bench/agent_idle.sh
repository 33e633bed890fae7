#!/usr/bin/env bash
# Measures the agent service at rest with the default configuration: its CPU
# time over an idle period (no client connects) and its resident memory.
# Installs the agent into a temporary program folder with its own embedded
# service manager; the default configuration file is written by the agent
# itself, then only PORT and LISTEN are changed (a free port on 127.0.0.1).
#
#   bench/agent_idle.sh [build folder] [seconds]     (defaults: build, 600)
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
build_dir=$(cd "${1:-$repo/build}" && pwd)
seconds=${2:-600}
agent_bin="$build_dir/agent/AgentTarvoService"
sc_bin="$build_dir/tools/tarvo-sc"
for f in "$agent_bin" "$sc_bin"; do
  [ -x "$f" ] || { echo "error: $f is missing; build first (cmake --build $build_dir)" >&2; exit 1; }
done

home=$(mktemp -d "${TMPDIR:-/tmp}/tarvo-idle-XXXXXX")
export TARVO_SCM_ROOT="$home/scm"
service="Tarvo Agent Service"
cp "$agent_bin" "$home/AgentTarvoService"
sc="$sc_bin"

state_of() { "$sc" query "$service" 2>/dev/null | sed -n 's/^ *STATE *: *\([0-9]\).*/\1/p'; }
pid_of() { "$sc" query "$service" 2>/dev/null | sed -n 's/^ *PID *: *\([0-9]*\).*/\1/p'; }
wait_for_state() {  # state number, seconds
  local i
  for (( i = 0; i < $2 * 20; i++ )); do
    [ "$(state_of)" = "$1" ] && return 0
    sleep 0.05
  done
  return 1
}
free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
cleanup() {
  "$sc" stop "$service" >/dev/null 2>&1 || true
  wait_for_state 1 15 || true
  local pid
  pid=$(pid_of || true)
  [ -n "$pid" ] && [ "$pid" != 0 ] && kill -9 "$pid" 2>/dev/null || true
  "$sc" delete "$service" >/dev/null 2>&1 || true
  rm -rf "$home"
}
trap cleanup EXIT

# The agent writes its default file on its first start (from a shell it then ends).
"$home/AgentTarvoService" >/dev/null 2>&1 || true
[ -f "$home/TarvoAgent.cfg" ] || { echo "error: no default configuration written" >&2; exit 1; }
port=$(free_port)
sed -i -e "s/^PORT=9000 /PORT=$port /" -e "s/^LISTEN=0.0.0.0 /LISTEN=127.0.0.1 /" "$home/TarvoAgent.cfg"

"$sc" create "$service" "$home/AgentTarvoService" --display "$service" --start demand >/dev/null
"$sc" start "$service" >/dev/null
wait_for_state 4 15 || { echo "error: the agent service did not start" >&2; exit 1; }
pid=$(pid_of)
hz=$(getconf CLK_TCK)

# utime stime cutime cstime of the agent, in clock ticks.
ticks() { sed 's/^.*) //' "/proc/$pid/stat" | awk '{print $12, $13, $14, $15}'; }

# Let the first passes (catalogue, full loads, first probes) go by.
sleep 20
read -r u0 s0 cu0 cs0 < <(ticks)
t0=$(date +%s.%N)
echo "agent pid $pid, port $port: idle for $seconds s ..."
sleep "$seconds"
read -r u1 s1 cu1 cs1 < <(ticks)
t1=$(date +%s.%N)
rss=$(awk '/^VmRSS/ {print $2}' "/proc/$pid/status")
hwm=$(awk '/^VmHWM/ {print $2}' "/proc/$pid/status")

awk -v u="$((u1 - u0))" -v s="$((s1 - s0))" -v cu="$((cu1 - cu0))" -v cs="$((cs1 - cs0))" \
    -v hz="$hz" -v t0="$t0" -v t1="$t1" -v rss="$rss" -v hwm="$hwm" 'BEGIN {
  wall = t1 - t0
  printf "wall %.1f s\n", wall
  printf "agent CPU: user %.2f s + system %.2f s = %.3f %% of one core\n", u / hz, s / hz, 100 * (u + s) / hz / wall
  printf "children (probes, rrdtool) CPU: %.2f s = %.3f %% of one core\n", (cu + cs) / hz, 100 * (cu + cs) / hz / wall
  printf "resident memory: %.2f MiB (peak %.2f MiB)\n", rss / 1024, hwm / 1024
}'
