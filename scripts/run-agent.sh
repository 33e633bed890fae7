#!/usr/bin/env bash
# `make run`: installs the programs into one self-contained folder, registers the
# agent with the embedded service manager rooted in that folder, starts it and
# follows its log until interrupted; the service is stopped on the way out.
set -euo pipefail

build_dir=${1:?build folder}
run_dir=${2:?run folder}
mkdir -p "$run_dir"
run_dir=$(cd "$run_dir" && pwd)

export TARVO_SCM_ROOT="$run_dir/scm"
service="Tarvo Agent Service"
sc="$run_dir/tarvo-sc"

state_of() { "$sc" query "$service" 2>/dev/null | sed -n 's/^ *STATE *: *\([0-9]\).*/\1/p'; }

wait_for_state() {  # state number, seconds
  local want=$1 limit=$(( $2 * 20 )) i
  for (( i = 0; i < limit; i++ )); do
    [ "$(state_of)" = "$want" ] && return 0
    sleep 0.05
  done
  return 1
}

stop_service() {
  [ -x "$sc" ] || return 0
  "$sc" stop "$service" >/dev/null 2>&1 || true
  wait_for_state 1 15 || echo "warning: the service did not report stopped in time" >&2
}

# A former run may have left the service installed or running: stop it before
# its program file is replaced.
stop_service
cmake --install "$build_dir" --prefix "$run_dir" >/dev/null
"$sc" delete "$service" >/dev/null 2>&1 || true
"$sc" create "$service" "$run_dir/AgentTarvoService" --display "$service" --start auto \
  --description "Host monitoring agent" >/dev/null
"$sc" start "$service" >/dev/null
if ! wait_for_state 4 15; then
  echo "error: the agent service did not reach the running state" >&2
  "$sc" query "$service" >&2 || true
  exit 1
fi

port=$(sed -n 's/^PORT=\([0-9]*\).*/\1/p' "$run_dir/TarvoAgent.cfg" 2>/dev/null | head -n 1)
cat <<TXT
Tarvo Agent Service is running (pid $("$sc" query "$service" | sed -n 's/^ *PID *: *//p')).
  program folder: $run_dir
  configuration:  $run_dir/TarvoAgent.cfg
  log:            $run_dir/TarvoAgent.log
  service state:  TARVO_SCM_ROOT=$TARVO_SCM_ROOT $sc query "$service"
  try:            printf 'PING\\n' | nc -q 1 127.0.0.1 ${port:-9000} | tr -d '\\0'
Following the log; press Ctrl-C to stop the service.
TXT

touch "$run_dir/TarvoAgent.log"
tail -n 20 -F "$run_dir/TarvoAgent.log" &
tail_pid=$!
finish() {
  trap - INT TERM EXIT
  kill "$tail_pid" 2>/dev/null || true
  echo
  echo "Stopping the agent service..."
  stop_service
  "$sc" query "$service" | sed -n 's/^ *STATE/STATE/p'
}
trap finish INT TERM EXIT
wait "$tail_pid" || true
