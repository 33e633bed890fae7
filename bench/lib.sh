# shellcheck shell=bash
# Steps shared by the benchmark scripts (sourced, not run): the programs of a
# build folder, the agent installed into a temporary program folder as the
# service "Tarvo Agent Service" of an embedded service manager of its own, and
# the service's start and stop. The folder, the service and a left-over agent
# are removed when the script exits.
#
#   source "$(dirname "$0")/lib.sh"
#   bench_use_build "${1:-}" [PROGRAM...]    sets build_dir, agent_bin, sc_bin
#   bench_install PREFIX                     sets home and sc; TARVO_SCM_ROOT
#   bench_create_service
#   bench_start_service                      sets pid
#   bench_stop_service

bench_repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
service="Tarvo Agent Service"

# bench_use_build [BUILD FOLDER] [PROGRAM...]: the build folder (default: build
# in the repository) and its agent and tarvo-sc; exits when one of them, or one
# of the further programs named relative to the build folder, is missing.
bench_use_build() {
  build_dir=$(cd "${1:-$bench_repo/build}" && pwd)
  agent_bin="$build_dir/agent/AgentTarvoService"
  sc_bin="$build_dir/tools/tarvo-sc"
  local f
  for f in "$agent_bin" "$sc_bin" "${@:2}"; do
    [[ "$f" = /* ]] || f="$build_dir/$f"
    [ -x "$f" ] || { echo "error: $f is missing; build first (cmake --build $build_dir)" >&2; exit 1; }
  done
}

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

# bench_install PREFIX: a temporary program folder ($home, named PREFIX-XXXXXX)
# holding copies of the agent and of tarvo-sc ($sc), with the service manager's
# state below it.
bench_install() {
  home=$(mktemp -d "${TMPDIR:-/tmp}/$1-XXXXXX")
  export TARVO_SCM_ROOT="$home/scm"
  cp "$agent_bin" "$home/AgentTarvoService"
  cp "$sc_bin" "$home/tarvo-sc"
  sc="$home/tarvo-sc"
  trap bench_cleanup EXIT
}

# Stops the service (killing the agent when it does not stop), deletes it and
# removes the program folder.
bench_cleanup() {
  "$sc" stop "$service" >/dev/null 2>&1 || true
  wait_for_state 1 15 || true
  local pid
  pid=$(pid_of || true)
  if [ -n "$pid" ] && [ "$pid" != 0 ]; then kill -9 "$pid" 2>/dev/null || true; fi
  "$sc" delete "$service" >/dev/null 2>&1 || true
  rm -rf "$home"
}

bench_create_service() {
  "$sc" create "$service" "$home/AgentTarvoService" --display "$service" --start demand >/dev/null
}

# Starts the service and waits until it runs; $pid is the agent's process.
bench_start_service() {
  "$sc" start "$service" >/dev/null
  wait_for_state 4 15 || { echo "error: the agent service did not start" >&2; exit 1; }
  pid=$(pid_of)
}

bench_stop_service() {
  "$sc" stop "$service" >/dev/null
  wait_for_state 1 15 || echo "warning: the service did not report stopped in time" >&2
}
