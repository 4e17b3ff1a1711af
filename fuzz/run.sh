#!/usr/bin/env bash
# Builds the command line fuzzer with clang into build/fuzz and runs it.
#   bash fuzz/run.sh            20 seconds (what CI runs)
#   bash fuzz/run.sh 600        ten minutes
#   FUZZ_RUNS=200000 bash fuzz/run.sh   a fixed number of inputs instead of a time
# A failing input is left in build/fuzz/ as crash-*; replay it with build/fuzz/args_fuzz FILE.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${1:-20}"
out="$root/build/fuzz"
cxx="$(command -v clang++-14 || command -v clang++ || true)"
if [ -z "$cxx" ]; then
  echo "clang++ not found" >&2
  exit 1
fi
cmake -S "$root/fuzz" -B "$out" -G Ninja -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$out" -j2
corpus="$out/corpus"
mkdir -p "$corpus"
# Seeds: digits, a signed long number, spaces before digits, the word exclude as the mode.
printf '\x08\x10\x18\x20' >"$corpus/digits"
printf '\x0b\x48\x50\x58\x60\x68\x70\x78\x80\x88\x90\x98\xa0' >"$corpus/long"
printf '\x02\x0a\x01\x05\x08' >"$corpus/spaces"
printf '\x08\x06\x04\x0c\x14\x1c\x24\x2c\x04' >"$corpus/mode"
limit=(-max_total_time="$seconds")
if [ -n "${FUZZ_RUNS:-}" ]; then limit=(-runs="$FUZZ_RUNS"); fi
cd "$out"
exec ./args_fuzz "${limit[@]}" -max_len=256 -print_final_stats=1 "$corpus"
