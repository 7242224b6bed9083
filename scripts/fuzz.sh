#!/usr/bin/env bash
# scripts/fuzz.sh [seconds]: builds the fuzz targets with clang into build/fuzz and runs each
# fuzz/<name>_fuzz.cpp for the given time (default 30 s), seeded from fuzz/corpus/<name>/.
# New inputs go to build/fuzz/corpus/<name>/; a crash leaves its input in build/fuzz/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
scripts/setup.sh
flags=(-DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 -DQV_FUZZ=ON
       -DQV_TESTS=OFF -DQV_BENCH=OFF -DQV_GUI=OFF -DQV_WERROR="${QV_WERROR:-OFF}")
if command -v ccache >/dev/null; then
  export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$PWD}
  flags+=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S . -B build/fuzz -G Ninja "${flags[@]}" >/dev/null
targets=()
for src in fuzz/*_fuzz.cpp; do targets+=("$(basename "$src" .cpp)"); done
cmake --build build/fuzz -j"$(nproc)" --target "${targets[@]}"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
status=0
for src in fuzz/*_fuzz.cpp; do
  name=$(basename "$src" .cpp)
  seeds=fuzz/corpus/$name
  work=build/fuzz/corpus/$name
  mkdir -p "$seeds" "$work"
  echo "== $name: ${seconds}s"
  log=build/fuzz/$name.log
  if (cd build/fuzz && "fuzz/$name" -max_total_time="$seconds" -print_final_stats=1 \
        "../../$work" "../../$seeds" >"../../$log" 2>&1); then
    tail -n 4 "$log"
  else
    cat "$log"
    status=1
  fi
done
exit $status
