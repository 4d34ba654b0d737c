#!/usr/bin/env bash
# The whole test suite: installs what is missing, builds, runs the unit and
# end-to-end tests, then builds and runs everything again under
# AddressSanitizer and UndefinedBehaviorSanitizer. Exits non-zero on any
# failure.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

jobs=$(nproc)
bash scripts/build.sh build
(cd build && ctest --output-on-failure -j"$jobs")

export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
bash scripts/build.sh build-asan -DVORNHALD_SANITIZE=ON
(cd build-asan && ctest --output-on-failure -j"$jobs")
