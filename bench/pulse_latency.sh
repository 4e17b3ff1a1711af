#!/usr/bin/env bash
# Capture latency through PulseAudio: a click played by paplay into a private server (headless, its
# own XDG_RUNTIME_DIR, one null sink), the time until it shows on harkwire's standard output, beside
# parec --monitor-stream capturing the same playback stream in the same run.
#
#   bash bench/pulse_latency.sh [--smoke] [--build-dir DIR] [--binary PATH]
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="$here/../build/host"
binary=""
runs=20
while [ $# -gt 0 ]; do
  case "$1" in
    --smoke) runs=2 ;;
    --build-dir) build="$2"; shift ;;
    --binary) binary="$2"; shift ;;
    *) echo "pulse_latency.sh: unknown option $1" >&2; exit 2 ;;
  esac
  shift
done
binary="${binary:-$build/harkwire}"

for tool in pulseaudio paplay parec pactl; do
  if ! command -v "$tool" >/dev/null; then
    echo "PULSE-LATENCY not measured: $tool is not installed"
    exit 0
  fi
done

base="$(mktemp -d "${TMPDIR:-/tmp}/harkwire-pulse.XXXXXX")"
mkdir -m 700 "$base/run" "$base/home"
export XDG_RUNTIME_DIR="$base/run" HOME="$base/home" PULSE_RUNTIME_PATH="$base/run/pulse"
unset PULSE_SERVER PULSE_SINK PULSE_SOURCE
# Clients must not start a server of their own if ours is gone.
printf 'autospawn = no\n' >"$base/client.conf"
export PULSE_CLIENTCONFIG="$base/client.conf"

pulseaudio -n --daemonize=no --exit-idle-time=-1 --use-pid-file=no \
  -L module-native-protocol-unix -L "module-null-sink sink_name=bench rate=48000 channels=2" \
  --log-target=file:"$base/pulseaudio.log" --log-level=error &
server=$!
stop_server() {
  kill "$server" 2>/dev/null || true
  wait "$server" 2>/dev/null || true
  rm -rf "$base"
}
trap stop_server EXIT

for _ in $(seq 100); do
  pactl info >/dev/null 2>&1 && break
  sleep 0.05
done
if ! pactl info >/dev/null 2>&1; then
  echo "PULSE-LATENCY not measured: the private server did not start"
  exit 0
fi

# The tool must capture from this server; a build without the PulseAudio engine ends in an [err] line.
probe="$(timeout 5 "$binary" "$$" include 2>&1 >/dev/null & sleep 1; kill -INT $! 2>/dev/null; wait $! 2>/dev/null)" || true
if ! printf '%s' "$probe" | grep -q '^FORMAT 48000 2 32'; then
  echo "PULSE-LATENCY not measured: $binary does not capture from PulseAudio here ($(printf '%s' "$probe" | grep -m1 '^\[err\]' || echo 'no format line'))"
  exit 0
fi

"$build/bench/bench_process" click "$binary" "$runs"
