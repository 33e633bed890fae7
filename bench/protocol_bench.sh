#!/usr/bin/env bash
# Measures the agent's command protocol against the running agent service.
# Installs the agent into a temporary program folder with its own embedded
# service manager, and for PERIODOBASE=0 and the default 2000 starts the service,
# runs protocol_bench against it and stops it again.
#
#   bench/protocol_bench.sh [build folder]      (default: build)
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
build_dir=$(cd "${1:-$repo/build}" && pwd)
agent_bin="$build_dir/agent/AgentTarvoService"
sc_bin="$build_dir/tools/tarvo-sc"
bench_bin="$build_dir/bench/protocol_bench"
for f in "$agent_bin" "$sc_bin" "$bench_bin"; do
  [ -x "$f" ] || { echo "error: $f is missing; build first (cmake --build $build_dir)" >&2; exit 1; }
done

home=$(mktemp -d "${TMPDIR:-/tmp}/tarvo-bench-XXXXXX")
export TARVO_SCM_ROOT="$home/scm"
service="Tarvo Agent Service"
cp "$agent_bin" "$home/AgentTarvoService"
cp "$sc_bin" "$home/tarvo-sc"
sc="$home/tarvo-sc"

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

"$sc" create "$service" "$home/AgentTarvoService" --display "$service" --start demand >/dev/null

for period in 0 2000; do
  port=$(free_port)
  printf 'LISTEN=127.0.0.1\r\nPORT=%s\r\nRRDTOOL=FALSE\r\nNETMON=TRUE\r\nAllowRemoteExec=False\r\nPERIODOBASE=%s\r\nCOMMAND1=ss | -t -n |:80|ESTAB\r\nCOMMAND2=ss | -t -n |:50000|ESTAB\r\nLOGLEVEL=0' \
    "$port" "$period" > "$home/TarvoAgent.cfg"
  "$sc" start "$service" >/dev/null
  wait_for_state 4 15 || { echo "error: the agent service did not start" >&2; exit 1; }
  pid=$(pid_of)
  # The agent is serving once its port answers.
  for (( i = 0; i < 200; i++ )); do
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
    sleep 0.05
  done
  echo "== PERIODOBASE=$period (agent pid $pid, port $port)"
  "$bench_bin" --port "$port" --pid "$pid" --requests 300 --clients 8
  "$sc" stop "$service" >/dev/null
  wait_for_state 1 15 || echo "warning: the service did not report stopped in time" >&2
done
