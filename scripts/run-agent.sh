#!/usr/bin/env bash
# `make run`: installs the programs into one self-contained folder, registers the
# agent and the watchdog with the embedded service manager rooted in that folder,
# starts them (agent first) and follows the log until interrupted; both services
# are stopped on the way out (watchdog first, so it does not restart the agent).
set -euo pipefail

build_dir=${1:?build folder}
run_dir=${2:?run folder}
mkdir -p "$run_dir"
run_dir=$(cd "$run_dir" && pwd)

export TARVO_SCM_ROOT="$run_dir/scm"
service="Tarvo Agent Service"
watchdog="Tarvo WatchDog Service"
sc="$run_dir/tarvo-sc"

state_of() { "$sc" query "$1" 2>/dev/null | sed -n 's/^ *STATE *: *\([0-9]\).*/\1/p'; }

wait_for_state() {  # service, state number, seconds
  local limit=$(( $3 * 20 )) i
  for (( i = 0; i < limit; i++ )); do
    [ "$(state_of "$1")" = "$2" ] && return 0
    sleep 0.05
  done
  return 1
}

stop_service() {  # service; the watchdog notices a stop at the end of its turn (~10 s)
  [ -x "$sc" ] || return 0
  "$sc" stop "$1" >/dev/null 2>&1 || true
  wait_for_state "$1" 1 25 || echo "warning: $1 did not report stopped in time" >&2
}

install_and_start() {  # service, program file, extra create options...
  local name=$1 program=$2
  shift 2
  "$sc" delete "$name" >/dev/null 2>&1 || true
  "$sc" create "$name" "$program" --display "$name" --start auto "$@" >/dev/null
  "$sc" start "$name" >/dev/null
  if ! wait_for_state "$name" 4 15; then
    echo "error: $name did not reach the running state" >&2
    "$sc" query "$name" >&2 || true
    exit 1
  fi
}

# A former run may have left the services installed or running: stop them
# before their program files are replaced.
stop_service "$watchdog"
stop_service "$service"
cmake --install "$build_dir" --prefix "$run_dir" >/dev/null
# From here on, leaving for any reason stops whatever was started.
tail_pid=
finish() {
  # The stops must complete even when the terminal, or a pipe that read our
  # output (make run | tee ...), went away with the same Ctrl-C.
  trap '' INT TERM PIPE
  trap - EXIT
  set +e
  if [ -n "$tail_pid" ]; then kill "$tail_pid" 2>/dev/null || true; fi
  echo
  echo "Stopping the watchdog and the agent services..."
  stop_service "$watchdog"
  stop_service "$service"
  "$sc" query "$watchdog" 2>/dev/null | sed -n 's/^ *STATE/STATE/p'
  "$sc" query "$service" 2>/dev/null | sed -n 's/^ *STATE/STATE/p'
}
trap finish INT TERM EXIT
install_and_start "$service" "$run_dir/AgentTarvoService" --description "Tarvo..."
install_and_start "$watchdog" "$run_dir/TarvoWDService"

port=$(sed -n 's/^PORT=\([0-9]*\).*/\1/p' "$run_dir/TarvoAgent.cfg" 2>/dev/null | head -n 1)
cat <<TXT
Tarvo Agent Service is running (pid $("$sc" query "$service" | sed -n 's/^ *PID *: *//p')),
watched by Tarvo WatchDog Service (pid $("$sc" query "$watchdog" | sed -n 's/^ *PID *: *//p')).
  program folder: $run_dir
  configuration:  $run_dir/TarvoAgent.cfg
  log:            $run_dir/TarvoAgent.log
  service state:  TARVO_SCM_ROOT=$TARVO_SCM_ROOT $sc query "$service"
  installer:      TARVO_SCM_ROOT=$TARVO_SCM_ROOT $run_dir/TarvoServiceInstaller  (needs a display)
  try:            $run_dir/tarvo-get -p ${port:-9000} PING
Following the log; press Ctrl-C to stop both services.
TXT

touch "$run_dir/TarvoAgent.log"
tail -n 20 -F "$run_dir/TarvoAgent.log" &
tail_pid=$!
wait "$tail_pid" || true
