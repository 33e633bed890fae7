#!/usr/bin/env bash
# Measures the agent's command protocol against the running agent service.
# Installs the agent into a temporary program folder with its own embedded
# service manager, and for the default PERIODOBASE=2000 and 0 starts the
# service, runs protocol_bench against it (PING and RESUMEMON round trips by 1
# and by 8 clients, persistent and new connections) and stops it again; then
# times ten stops of the serving agent at 2000.
#
#   bench/protocol_bench.sh [build folder] [requests per client]
#                                   (default: build, 300)
set -euo pipefail

# shellcheck source=SCRIPTDIR/lib.sh
source "$(dirname "$0")/lib.sh"
bench_use_build "${1:-}" bench/protocol_bench
bench_bin="$build_dir/bench/protocol_bench"
bench_install tarvo-bench

bench_create_service

for period in 2000 0; do
  port=$(free_port)
  printf 'LISTEN=127.0.0.1\r\nPORT=%s\r\nRRDTOOL=FALSE\r\nNETMON=TRUE\r\nAllowRemoteExec=False\r\nPERIODOBASE=%s\r\nCOMMAND1=ss | -t -n |:80|ESTAB\r\nCOMMAND2=ss | -t -n |:50000|ESTAB\r\nLOGLEVEL=0' \
    "$port" "$period" > "$home/TarvoAgent.cfg"
  bench_start_service
  # The agent is serving once its port answers.
  for (( i = 0; i < 200; i++ )); do
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
    sleep 0.05
  done
  echo "== PERIODOBASE=$period (agent pid $pid, port $port)"
  "$bench_bin" --port "$port" --pid "$pid" --requests "${2:-300}" --clients 8
  bench_stop_service
done
echo "== stop latency"
# The stop rounds install a service manager of their own.
env -u TARVO_SCM_ROOT "$bench_bin" --agent "$agent_bin" --stop-rounds 10 --period 2000
