#!/usr/bin/env bash
# `make sanitize`: runs the suite of a sanitizer build so that the first
# report ends the process that made it, and fails when any process of the run
# (test programs, the agent and the services they start, whose own streams go
# nowhere) wrote a report.
set -euo pipefail

build_dir=$(cd "${1:?build folder}" && pwd)
reports="$build_dir/sanitizer-reports"
rm -rf "$reports"
mkdir -p "$reports"

export ASAN_OPTIONS="halt_on_error=1:abort_on_error=0:detect_leaks=1:log_path=$reports/asan"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$reports/ubsan"

status=0
(cd "$build_dir" && ctest --output-on-failure -j 2 --timeout 900) || status=$?

# Reports in files, and those printed on a test's own streams (GCC's
# UndefinedBehaviorSanitizer writes there whatever log_path says).
pattern='runtime error:|ERROR: (AddressSanitizer|LeakSanitizer)'
printed=$(grep -Eh -A20 "$pattern" "$build_dir/Testing/Temporary/LastTest.log" || true)
if compgen -G "$reports/*" >/dev/null || [ -n "$printed" ]; then
  for report in "$reports"/*; do
    [ -e "$report" ] && { echo "=== $report"; cat "$report"; }
  done
  [ -n "$printed" ] && { echo "=== printed by the tests"; echo "$printed"; }
  echo "make sanitize: sanitizer reports found" >&2
  exit 1
fi
exit "$status"
