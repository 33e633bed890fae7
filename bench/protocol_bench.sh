#!/usr/bin/env bash
# Measures the agent's command protocol against the running agent service.
# Installs the agent into a temporary program folder with its own embedded
# service manager, and for the default PERIODOBASE=2000 and 0 starts the
# service, runs protocol_bench against it (PING and RESUMEMON round trips by 1
# and by 8 clients, persistent and new connections, then 50 clients making 20
# new connections each) and stops it again. At 2000 it then measures the same
# round trips while another client's task runs for 20 s (EXEC), a bystander
# beside three clients that never read and ten that trickle bytes, and, when
# SOAK_SECONDS is set, 8 clients polling RESUMEMON for that long. Last come the
# stop latency at 2000 (median of 10 stops) and, when the Debian zabbix-agent
# package is installed, the same new-connection round trips of its passive
# check, as a peer measured in the same run. The TLS port follows, with test
# certificates made in the program folder: PING over TLS with a client
# certificate on new connections (full and resumed handshakes) and on a
# persistent one beside the clear-text port, with an ECDSA P-256 and an RSA 2048
# agent key, then 100 handshakes left half done while 8 clients poll.
# ONLY=tls runs the TLS part alone.
#
#   [SOAK_SECONDS=600] [ONLY=tls] bench/protocol_bench.sh [build folder] [requests per client]
#                                   (default: build, 300)
set -euo pipefail

# shellcheck source=SCRIPTDIR/lib.sh
source "$(dirname "$0")/lib.sh"
bench_use_build "${1:-}" bench/protocol_bench
bench_bin="$build_dir/bench/protocol_bench"
requests=${2:-300}
bench_install tarvo-bench

bench_create_service

# write_config PERIODOBASE [EXTRA LINES]: the configuration for the next start.
write_config() {
  port=$(free_port)
  printf 'LISTEN=127.0.0.1\r\nPORT=%s\r\nRRDTOOL=FALSE\r\nNETMON=TRUE\r\nAllowRemoteExec=False\r\nPERIODOBASE=%s\r\nCOMMAND1=ss | -t -n |:80|ESTAB\r\nCOMMAND2=ss | -t -n |:50000|ESTAB\r\nLOGLEVEL=0%s' \
    "$port" "$1" "${2:-}" > "$home/TarvoAgent.cfg"
}

# wait_for_port PORT: until a connection to it succeeds (10 s at most).
wait_for_port() {
  for (( i = 0; i < 200; i++ )); do
    (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null && break
    sleep 0.05
  done
}

start_serving() {
  bench_start_service
  # The agent is serving once its port answers.
  wait_for_port "$port"
}

# The TLS port beside the command port, with test certificates; the key pair
# of the agent named by its certificate file.
tls_bench() {
  "$bench_bin" --make-certificates "$home"
  for pair in "server ECDSA P-256" "server-rsa RSA 2048"; do
    stem=${pair%% *}
    label=${pair#* }
    tls_port=$(free_port)
    write_config 2000 $'\r\nTLSPORT='"$tls_port"$'\r\nTLSCERT='"$stem.pem"$'\r\nTLSKEY='"$stem.key"$'\r\nTLSCA=ca.pem'
    start_serving
    wait_for_port "$tls_port"
    echo "== PERIODOBASE=2000, TLS with an $label agent key (agent pid $pid, port $port, TLS port $tls_port)"
    "$bench_bin" --port "$port" --pid "$pid" --requests "$requests" --tls-port "$tls_port" \
      --tls-folder "$home" --tls-label "$label"
    if [ "$stem" = server ]; then
      echo "== PERIODOBASE=2000, 100 TLS handshakes left half done while 8 clients poll"
      "$bench_bin" --port "$port" --pid "$pid" --requests "$requests" --clients 8 \
        --tls-port "$tls_port" --tls-folder "$home" --half-done 100
    fi
    bench_stop_service
  done
}

if [ "${ONLY:-}" = tls ]; then
  tls_bench
  exit 0
fi

for period in 2000 0; do
  write_config "$period"
  start_serving
  echo "== PERIODOBASE=$period (agent pid $pid, port $port)"
  "$bench_bin" --port "$port" --pid "$pid" --requests "$requests" --clients 8
  bench_stop_service
done

mkdir -p "$home/Tasks"
printf 'sleep 20\necho done\n' > "$home/Tasks/sleep20.sh"
write_config 2000 $'\r\nAllowRemoteExec=True\r\nREMOTECLIENTS=127.0.0.1'
start_serving
echo "== PERIODOBASE=2000 while a task runs for 20 s (agent pid $pid, port $port)"
"$bench_bin" --port "$port" --pid "$pid" --requests 200 --clients 8 --task SLEEP20.SH
bench_stop_service

write_config 2000
start_serving
echo "== PERIODOBASE=2000, 3 clients that never read and 10 that trickle bytes"
"$bench_bin" --port "$port" --pid "$pid" --hostile 30
if [ "${SOAK_SECONDS:-0}" -gt 0 ]; then
  echo "== PERIODOBASE=2000, ${SOAK_SECONDS} s of polling (RRDTOOL=TRUE)"
  bench_stop_service
  write_config 2000 $'\r\nRRDTOOL=TRUE'
  start_serving
  "$bench_bin" --port "$port" --pid "$pid" --soak "$SOAK_SECONDS" --clients 8
fi
bench_stop_service

tls_bench

echo "== stop latency"
# The stop rounds install a service manager of their own.
env -u TARVO_SCM_ROOT "$bench_bin" --agent "$agent_bin" --stop-rounds 10 --period 2000

if command -v zabbix_agentd >/dev/null; then
  # Its ListenPort must lie below 32768.
  port=$(python3 -c 'import socket, random
while True:
    s = socket.socket(); p = random.randint(20000, 32000)
    try: s.bind(("127.0.0.1", p)); print(p); break
    except OSError: pass')
  printf 'ListenIP=127.0.0.1\nListenPort=%s\nServer=127.0.0.1\nHostname=bench\nAllowRoot=1\nLogFile=%s\nPidFile=%s\n' \
    "$port" "$home/zabbix.log" "$home/zabbix.pid" > "$home/zabbix_agentd.conf"
  zabbix_agentd -f -c "$home/zabbix_agentd.conf" &
  zabbix_pid=$!
  for (( i = 0; i < 200; i++ )); do
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
    sleep 0.05
  done
  echo "== peer: zabbix_agentd $(zabbix_agentd -V | head -n 1 | awk '{print $NF}') (port $port)"
  "$bench_bin" --port "$port" --requests "$requests" --clients 8 --zabbix
  kill "$zabbix_pid"
  wait "$zabbix_pid" 2>/dev/null || true
else
  echo "== peer: zabbix_agentd is not installed (apt-get install zabbix-agent)"
fi
