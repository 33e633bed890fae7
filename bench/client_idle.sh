#!/usr/bin/env bash
# Measures the desktop client at rest: its CPU time and resident memory while it
# polls the agent service every five seconds (and, with no central server
# configured, fetches no events). The client runs off the screen
# (QT_QPA_PLATFORM=offscreen unless set) in the agent's temporary program folder.
#
#   bench/client_idle.sh [build folder] [seconds]     (defaults: build, 600)
set -euo pipefail

# shellcheck source=SCRIPTDIR/lib.sh
source "$(dirname "$0")/lib.sh"
seconds=${2:-600}
bench_use_build "${1:-}" client/TarvoAgentCliente
bench_install tarvo-client-idle
port=$(free_port)
printf 'PORT=%s\r\nLISTEN=127.0.0.1\r\nTARGETTARVOAGENT=127.0.0.1\r\nTARVOSERVER=\r\n' "$port" \
  >"$home/TarvoAgent.cfg"
bench_create_service
bench_start_service
cp "$build_dir/client/TarvoAgentCliente" "$home/"

TARVO_HOME=$home QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen} \
  "$home/TarvoAgentCliente" >/dev/null 2>&1 </dev/null &
client=$!
stop_client() { kill "$client" 2>/dev/null || true; wait "$client" 2>/dev/null || true; bench_cleanup; }
trap stop_client EXIT
hz=$(getconf CLK_TCK)
ticks() { sed 's/^.*) //' "/proc/$client/stat" | awk '{print $12 + $13}'; }

# Let the start-up (configuration, first poll, the message window's peek) go by.
sleep 15
c0=$(ticks)
t0=$(date +%s.%N)
echo "client pid $client, agent port $port: idle for $seconds s ..."
sleep "$seconds"
c1=$(ticks)
t1=$(date +%s.%N)
rss=$(awk '/^VmRSS/ {print $2}' "/proc/$client/status")
hwm=$(awk '/^VmHWM/ {print $2}' "/proc/$client/status")
awk -v c="$((c1 - c0))" -v hz="$hz" -v t0="$t0" -v t1="$t1" -v rss="$rss" -v hwm="$hwm" 'BEGIN {
  wall = t1 - t0
  printf "wall %.1f s\n", wall
  printf "client CPU: %.2f s = %.3f %% of one core\n", c / hz, 100 * c / hz / wall
  printf "resident memory: %.2f MiB (peak %.2f MiB)\n", rss / 1024, hwm / 1024
}'
