#!/usr/bin/env bash
# Runs every benchmark and prints its figures: the pump's drain throughput against a plain write()
# loop, start and stop latency, CPU time and resident size of a real-time capture, the instruction
# count per audio second under callgrind, and the capture latency through PulseAudio against parec.
#
#   bash bench/run.sh              build what is needed from the host preset, then the full runs
#   bash bench/run.sh --smoke      each figure in a tiny form (CTest label bench-smoke)
#   options: --no-build, --build-dir DIR
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/.." && pwd)"
build="$root/build/host"
smoke=0
do_build=1
while [ $# -gt 0 ]; do
  case "$1" in
    --smoke) smoke=1 ;;
    --no-build) do_build=0 ;;
    --build-dir) build="$2"; shift ;;
    *) echo "run.sh: unknown option $1" >&2; exit 2 ;;
  esac
  shift
done

if [ "$do_build" = 1 ]; then
  cd "$root"
  [ -f "$build/build.ninja" ] || cmake --preset host >/dev/null
  cmake --build "$build" -j2 --target harkwire harkwire_scripted bench_pump bench_process >/dev/null
fi
scripted="$build/harkwire_scripted"
tmp="$(mktemp -d "${TMPDIR:-/tmp}/harkwire-bench.XXXXXX")"
trap 'rm -rf "$tmp"' EXIT
export TMPDIR="$tmp"

if [ "$smoke" = 1 ]; then
  pump_args=(--benchmark_min_time=0.01)
  start_runs=3; stop_runs=3; capture_s=1; callgrind_s=1
  export HARKWIRE_BENCH_SMOKE=1
else
  pump_args=(--benchmark_min_time=0.5 --benchmark_repetitions=3 --benchmark_report_aggregates_only=true)
  start_runs=50; stop_runs=100; capture_s=60; callgrind_s=20
fi

echo "MACHINE nproc=$(nproc) cpu=\"$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1)\" kernel=$(uname -r) date=$(date -u +%Y-%m-%dT%H:%M:%SZ) commit=$(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo none)"

echo "== drain throughput (in-process pump, ratios within this run)"
"$build/bench/bench_pump" "${pump_args[@]}" 2>&1

echo "== start latency"
"$build/bench/bench_process" start "$scripted" "$start_runs"
echo "== stop latency"
"$build/bench/bench_process" stop "$scripted" "$stop_runs" idle
"$build/bench/bench_process" stop "$scripted" "$stop_runs" draining

echo "== real-time capture: CPU per audio second and resident size (${capture_s} s)"
"$build/bench/bench_process" capture "$scripted" "$capture_s"

echo "== instructions per audio second (callgrind, ${callgrind_s} s real-time capture)"
if command -v valgrind >/dev/null; then
  printf 'pace realtime\nquiet\nend fail 0x88890004\npacket 480 x %d\n' $((callgrind_s * 100)) >"$tmp/realtime.script"
  HARKWIRE_ENGINE_SCRIPT="$tmp/realtime.script" valgrind --tool=callgrind --callgrind-out-file="$tmp/callgrind.out" \
    "$scripted" 1234 >"$tmp/callgrind.samples" 2>"$tmp/callgrind.err" || true
  bytes=$(stat -c %s "$tmp/callgrind.samples")
  callgrind_annotate --inclusive=yes --threshold=100 "$tmp/callgrind.out" >"$tmp/annotate.txt" 2>/dev/null || true
  # Inclusive instruction counts: the whole process, the pump, and the scripted engine's delivery.
  ir_of() { awk -v pat="$1" 'index($0, pat) { gsub(",", "", $1); print $1; exit }' "$tmp/annotate.txt"; }
  total=$(awk '/PROGRAM TOTALS/ { gsub(",", "", $1); print $1; exit }' "$tmp/annotate.txt")
  pump=$(ir_of "RunCapturePump(")
  getbuffer=$(ir_of "ScriptedCaptureClient::GetBuffer(")
  nextsize=$(ir_of "ScriptedCaptureClient::GetNextPacketSize(")
  release=$(ir_of "ScriptedCaptureClient::ReleaseBuffer(")
  # The pump's own share: everything under RunCapturePump except the three capture-client calls
  # (the scripted engine fills and checksums each byte it delivers; a real engine does not).
  awk -v b="$bytes" -v t="$total" -v p="${pump:-0}" -v g="${getbuffer:-0}" -v n="${nextsize:-0}" -v r="${release:-0}" 'BEGIN {
    a = b / 384000; if (a == 0) a = 1e-9;
    printf "CALLGRIND audio_s=%.2f total_Ir=%d total_Ir_per_audio_s=%.0f pump_Ir_per_audio_s=%.0f engine_calls_Ir_per_audio_s=%.0f pump_own_Ir_per_audio_s=%.0f start_and_teardown_Ir=%d\n", a, t, t / a, p / a, (g + n + r) / a, (p - g - n - r) / a, t - p }'
else
  echo "CALLGRIND not measured: valgrind is not installed"
fi

echo "== capture latency through PulseAudio"
bash "$here/pulse_latency.sh" --build-dir "$build" $([ "$smoke" = 1 ] && echo --smoke) || true
