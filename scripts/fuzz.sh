#!/usr/bin/env bash
# scripts/fuzz.sh [seconds] [name...]: builds the libFuzzer targets (fuzz/*_fuzz.cpp) with clang
# into build/fuzz and runs each for the given time (default 30 s), starting from its seed
# corpus fuzz/corpus/<name>/. New inputs go to build/fuzz/corpus/<name>/, never into the tree;
# a crash leaves its input in build/fuzz/crashes/<name>/ and fails the script.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
shift || true
flags=(-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DQV_FUZZ=ON
       -DQV_TESTS=OFF -DQV_BENCH=OFF -DQV_GUI=OFF)
if command -v ccache >/dev/null; then
  export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$PWD}
  flags+=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S . -B build/fuzz -G Ninja "${flags[@]}" >/dev/null
names=("$@")
if ((${#names[@]} == 0)); then
  for src in fuzz/*_fuzz.cpp; do
    [[ -e $src ]] && names+=("$(basename "$src" .cpp)")
  done
fi
((${#names[@]})) || { echo "no fuzz targets"; exit 0; }
cmake --build build/fuzz -j"$(nproc)" --target "${names[@]}"
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
for name in "${names[@]}"; do
  work=build/fuzz/corpus/$name crashes=build/fuzz/crashes/$name
  mkdir -p "$work" "$crashes" "fuzz/corpus/$name"
  echo "== $name: ${seconds}s"
  status=0
  build/fuzz/fuzz/"$name" -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix="$crashes/" "$work" "fuzz/corpus/$name" >"build/fuzz/$name.out" 2>&1 || status=$?
  if ((status)); then
    tail -n 40 "build/fuzz/$name.out" >&2
    echo "$name failed; its input is in $crashes/" >&2
    exit 1
  fi
  grep -E '^(Done|stat::(number_of_executed_units|new_units_added))' "build/fuzz/$name.out" || true
done
