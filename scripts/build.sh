#!/usr/bin/env bash
# scripts/build.sh [plain|asan|tsan]: configures and builds into build/<kind>.
set -euo pipefail
cd "$(dirname "$0")/.."
kind=${1:-plain}
case "$kind" in
  plain) flags=() ;;
  asan) flags=(-DQV_ASAN=ON -DQV_BENCH=OFF) ;;
  tsan) flags=(-DQV_TSAN=ON -DQV_BENCH=OFF -DQV_GUI=OFF) ;;
  *) echo "usage: $0 [plain|asan|tsan]" >&2; exit 2 ;;
esac
cmake -S . -B "build/$kind" -G Ninja "${flags[@]}" >/dev/null
cmake --build "build/$kind" -j"$(nproc)"
