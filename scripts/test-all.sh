#!/usr/bin/env bash
# Every test: the host build with its tests, the sanitizer builds, and the Windows build under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --workflow --preset host
cmake --workflow --preset host-sanitize
cmake --workflow --preset host-tsan
cmake --workflow --preset windows
