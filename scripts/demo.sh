#!/usr/bin/env bash
# A real capture, end to end: plays a tone from a child process, captures that process with
# build/host/harkwire for a few seconds, writes build/host/capture.wav and says what it holds.
# Uses the PulseAudio (or PipeWire) server this session already has; when there is none, starts a
# private PulseAudio server with a null sink and stops it (and only it) at the end.
#
# Build first:  bash scripts/setup.sh && cmake --preset host && cmake --build --preset host
# Then:         bash scripts/demo.sh [seconds]
set -euo pipefail

cd "$(dirname "$0")/.."
root=$(pwd)
binary="$root/build/host/harkwire"
seconds=${1:-3}
frequency=440

step() { printf 'demo: %s\n' "$*"; }
fail() { printf 'demo: FAILED: %s\n' "$*" >&2; exit 1; }

[ -x "$binary" ] || fail "$binary is missing; build it: cmake --preset host && cmake --build --preset host"
for tool in pulseaudio pactl paplay sox; do
  command -v "$tool" >/dev/null || fail "'$tool' is not installed; run: bash scripts/setup.sh"
done

work=$(mktemp -d "${TMPDIR:-/tmp}/harkwire-demo-XXXXXX")
server_pid=""
player_pid=""
capture_pid=""
cleanup() {
  [ -n "$capture_pid" ] && kill "$capture_pid" 2>/dev/null || true
  [ -n "$player_pid" ] && kill "$player_pid" 2>/dev/null || true
  if [ -n "$server_pid" ]; then
    kill "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
    step "stopped the private server (pid $server_pid)"
  fi
  rm -rf "$work"
}
trap cleanup EXIT

# 1. An audio server.
if pactl info >/dev/null 2>&1; then
  step "using the running audio server: $(pactl info | sed -n 's/^Server Name: //p')"
else
  step "no audio server reachable; starting a private PulseAudio server in $work"
  mkdir -p "$work/pulse"
  export XDG_RUNTIME_DIR="$work" PULSE_RUNTIME_PATH="$work/pulse" PULSE_SERVER="unix:$work/native"
  export HOME="$work" DBUS_SESSION_BUS_ADDRESS="disabled:"
  extra=()
  [ "$(id -u)" = 0 ] && extra+=(--system=false)
  pulseaudio -n --daemonize=no --exit-idle-time=-1 --use-pid-file=no "${extra[@]}" \
    "--load=module-null-sink sink_name=demo_null" \
    "--load=module-native-protocol-unix auth-anonymous=1 socket=$work/native" \
    >"$work/server.log" 2>&1 &
  server_pid=$!
  for _ in $(seq 100); do
    pactl info >/dev/null 2>&1 && break
    kill -0 "$server_pid" 2>/dev/null || fail "the server exited: $(tail -3 "$work/server.log")"
    sleep 0.05
  done
  pactl info >/dev/null 2>&1 || fail "the private server did not answer; its log: $work/server.log"
  step "private server up (pid $server_pid), null sink 'demo_null'"
fi

# 2. A tone, played by a child process.
tone="$work/tone.wav"
sox -n -r 48000 -c 2 "$tone" synth $((seconds + 4)) sine "$frequency" vol 0.5 || fail "sox could not make the tone"
paplay --latency-msec=20 "$tone" &
player_pid=$!
step "playing a $frequency Hz tone from pid $player_pid"
sleep 0.3
kill -0 "$player_pid" 2>/dev/null || fail "the player (paplay) ended at once"

# 3. The capture of that process.
raw="$work/capture.f32"
log="$work/capture.log"
step "capturing: $binary $player_pid include"
"$binary" "$player_pid" include >"$raw" 2>"$log" &
capture_pid=$!
for _ in $(seq 200); do
  grep -q '^FORMAT ' "$log" && break
  kill -0 "$capture_pid" 2>/dev/null || break
  sleep 0.05
done
if ! grep -q '^FORMAT ' "$log"; then
  wait "$capture_pid" 2>/dev/null || true
  capture_pid=""
  fail "harkwire did not start its capture; it said:
$(cat "$log")"
fi
step "stream is up ($(grep '^FORMAT ' "$log")); capturing for $seconds s"
sleep "$seconds"
kill -INT "$capture_pid"
status=0
wait "$capture_pid" || status=$?
capture_pid=""
[ "$status" = 0 ] || fail "harkwire ended with status $status; it said:
$(cat "$log")"
grep -q '^\[err\]' "$log" && fail "harkwire reported an error: $(grep '^\[err\]' "$log")"
bytes=$(stat -c %s "$raw")
[ "$bytes" -gt 0 ] || fail "no samples were captured"
[ $((bytes % 8)) = 0 ] || fail "the capture is not whole frames ($bytes bytes)"

# 4. The WAV, and what it holds.
wav="$root/build/host/capture.wav"
sox -t raw -e floating-point -b 32 -L -c 2 -r 48000 "$raw" "$wav" || fail "sox could not write $wav"
duration=$(soxi -D "$wav")
peak=$(sox "$wav" -n stat 2>&1 | awk '/^Maximum amplitude/ {print $3}')
peak_db=$(awk -v p="$peak" 'BEGIN { if (p > 0) printf "%.1f", 20 * log(p) / log(10); else print "-inf" }')
# The strongest bin of sox's spectrum of the left channel (bins of about 12 Hz).
dominant=$(sox "$wav" -n remix 1 stat -freq 2>&1 |
  awk 'NF == 2 && $1 ~ /^[0-9.]+$/ && $2 > best { best = $2; f = $1 } END { printf "%.0f", f }')
step "wrote $wav"
printf 'demo: captured %s s (%s frames), peak %s (%s dBFS), dominant frequency ~%s Hz (tone played: %s Hz)\n' \
  "$duration" "$((bytes / 8))" "$peak" "$peak_db" "$dominant" "$frequency"
awk -v p="$peak" 'BEGIN { exit !(p > 0.01) }' || fail "the capture is silent: the tone did not reach it"
step "done"
