#!/usr/bin/env bash
# Sets up this machine, builds, and runs the whole test suite on the offscreen platform;
# then builds again with AddressSanitizer and UndefinedBehaviorSanitizer (build-asan)
# and runs the whole suite once more under them.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh
export QT_QPA_PLATFORM=offscreen
ctest --test-dir "${BUILD_DIR:-build}" --output-on-failure -j"$(nproc)"

asan_dir=${ASAN_BUILD_DIR:-build-asan}
BUILD_DIR="$asan_dir" bash scripts/build.sh -DNELVO_SANITIZE=ON
export ASAN_OPTIONS=detect_leaks=1:halt_on_error=1:abort_on_error=1:print_stacktrace=1:detect_stack_use_after_return=0
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp:print_suppressions=0
ctest --test-dir "$asan_dir" --output-on-failure -j"$(nproc)"
