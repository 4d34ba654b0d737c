#!/usr/bin/env bash
# Configures and builds vornhald into the given directory (default build/);
# extra arguments go to cmake's configure step.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}
shift || true
cmake -S . -B "$dir" "$@" >/dev/null
cmake --build "$dir" -j"$(nproc)"
