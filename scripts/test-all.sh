#!/usr/bin/env bash
# Every test: the host build and the Windows build (each side's tests check the other's binary where
# they compare the two), then the sanitizer builds.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset host
cmake --build --preset host
cmake --preset windows
cmake --build --preset windows
ctest --preset host
ctest --preset windows
cmake --workflow --preset host-sanitize
cmake --workflow --preset host-tsan
