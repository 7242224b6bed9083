#!/usr/bin/env bash
# scripts/test.sh [plain|asan|tsan]: installs what is missing, builds and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
kind=${1:-plain}
scripts/setup.sh
scripts/build.sh "$kind"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}
export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}
ctest --test-dir "build/$kind" --output-on-failure -j"$(nproc)"
