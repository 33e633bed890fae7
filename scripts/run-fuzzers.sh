#!/usr/bin/env bash
# `make fuzz` and `make fuzz-replay`: runs each libFuzzer target of a fuzz build
# for the given seconds, starting from its stored inputs in tests/fuzz/corpus/<target>
# (new inputs are kept in the build folder); with 0 seconds, runs each target
# once over those inputs. A crash or a leak fails it, and, while fuzzing, an input
# that takes more than FUZZ_TIMEOUT seconds (default 1). The replay is a check
# for faults, not for speed: it allows each input a minute, as a loaded machine
# may need.
set -euo pipefail

build_dir=$(cd "${1:?build folder}" && pwd)
seconds=${2:?seconds}
timeout=${FUZZ_TIMEOUT:-1}
source_dir=$(cd "$(dirname "$0")/.." && pwd)
targets=(CommandDispatcherFuzz AgentConfigFuzz TaskFileFuzz PerfLookupFuzz MetricsSessionFuzz
         TlsSessionFuzz)

export ASAN_OPTIONS="halt_on_error=1:detect_leaks=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"

for target in "${targets[@]}"; do
  binary="$build_dir/tests/fuzz/$target"
  stored="$source_dir/tests/fuzz/corpus/$target"
  artifacts="$build_dir/fuzz-artifacts/$target"
  mkdir -p "$artifacts"
  log="$build_dir/fuzz-$target.log"
  status=0
  if [ "$seconds" -eq 0 ]; then
    echo "== $target: replaying $(ls "$stored" | wc -l) stored inputs"
    "$binary" -timeout=60 -artifact_prefix="$artifacts/" "$stored"/* 2>"$log" || status=$?
    [ "$status" -eq 0 ] || tail -n 40 "$log"
  else
    corpus="$build_dir/fuzz-corpus/$target"
    mkdir -p "$corpus"
    echo "== $target: fuzzing for $seconds s"
    "$binary" -max_total_time="$seconds" -timeout="$timeout" -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$artifacts/" "$corpus" "$stored" 2>"$log" || status=$?
    grep -E '^#[0-9]+ +DONE|^stat::(number_of_executed_units|average_exec_per_sec|slowest_unit_time_sec|peak_rss_mb)' "$log" || true
    [ "$status" -eq 0 ] || tail -n 40 "$log"
  fi
  if [ "$status" -ne 0 ]; then
    echo "$target failed; inputs in $artifacts" >&2
    exit 1
  fi
done
