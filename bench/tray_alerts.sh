#!/usr/bin/env bash
# Runs tray_alert_bench on a virtual display with a real notification area:
# Xvfb on a free display number and trayer as the tray, both stopped by their
# process ids at the end. Needs the Debian packages xvfb and trayer.
#
#   bench/tray_alerts.sh [build folder] [alerts]     (defaults: build, 200)
set -euo pipefail

build_dir=${1:-build}
alerts=${2:-200}
for tool in Xvfb trayer; do
  command -v "$tool" >/dev/null || { echo "error: $tool is missing (apt-get install xvfb trayer)" >&2; exit 1; }
done
display=
for n in $(seq 50 99); do
  if [ ! -e "/tmp/.X$n-lock" ] && [ ! -e "/tmp/.X11-unix/X$n" ]; then display=$n; break; fi
done
[ -n "$display" ] || { echo "error: no free display number" >&2; exit 1; }

Xvfb ":$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
tray=
stop() {
  if [ -n "$tray" ]; then kill "$tray" 2>/dev/null || true; wait "$tray" 2>/dev/null || true; fi
  kill "$xvfb" 2>/dev/null || true
  wait "$xvfb" 2>/dev/null || true
}
trap stop EXIT
for _ in $(seq 100); do [ -e "/tmp/.X11-unix/X$display" ] && break; sleep 0.1; done
DISPLAY=":$display" trayer --edge bottom --align right >/dev/null 2>&1 &
tray=$!
sleep 2
DISPLAY=":$display" QT_QPA_PLATFORM=xcb "$build_dir/bench/tray_alert_bench" "$alerts"
