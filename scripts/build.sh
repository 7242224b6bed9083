#!/usr/bin/env bash
# scripts/build.sh [plain|asan|tsan] [TARGET...]: configures and builds into build/<kind>; only
# the targets named (all without).
# QV_WERROR=ON in the environment makes warnings in our code errors (as CI builds).
set -euo pipefail
cd "$(dirname "$0")/.."
kind=${1:-plain}
if (($#)); then shift; fi
case "$kind" in
  plain) flags=() ;;
  asan) flags=(-DQV_ASAN=ON -DQV_BENCH=OFF) ;;
  tsan) flags=(-DQV_TSAN=ON -DQV_BENCH=OFF -DQV_GUI=OFF) ;;
  *) echo "usage: $0 [plain|asan|tsan]" >&2; exit 2 ;;
esac
flags+=(-DQV_WERROR="${QV_WERROR:-OFF}")
# A compiler cache, when there is one, makes rebuilds across build kinds and checkouts cheap.
if command -v ccache >/dev/null; then
  export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$PWD}
  flags+=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S . -B "build/$kind" -G Ninja "${flags[@]}" >/dev/null
targets=()
for t in "$@"; do targets+=(--target "$t"); done
cmake --build "build/$kind" -j"$(nproc)" "${targets[@]}"
