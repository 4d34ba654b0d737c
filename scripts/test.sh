#!/usr/bin/env bash
# The whole test suite: installs what is missing, builds, runs the unit and
# end-to-end tests, then builds and runs everything again under
# AddressSanitizer (with leak detection) and UndefinedBehaviorSanitizer.
# Warnings are errors in both builds.
# Ends with one line that says whether everything passed; exits non-zero on
# any failure.
set -euo pipefail
cd "$(dirname "$0")/.."

stage="setting up"
trap 'rc=$?; [ $rc -eq 0 ] || echo "vornhald tests: FAILED while $stage (exit $rc)" >&2' EXIT

bash scripts/setup.sh

jobs=$(nproc)
stage="building build/"
bash scripts/build.sh build -DVORNHALD_WERROR=ON
stage="testing build/"
(cd build && ctest --output-on-failure -j"$jobs")

# Subversion and APR free what they keep for the whole process when APR is
# terminated at exit, so leaks are reported as errors.
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
stage="building build-asan/"
bash scripts/build.sh build-asan -DVORNHALD_SANITIZE=ON -DVORNHALD_WERROR=ON
stage="testing build-asan/"
(cd build-asan && ctest --output-on-failure -j"$jobs")

echo "vornhald tests: all passed (build/ and build-asan/ with ASan+UBSan)"
