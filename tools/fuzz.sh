#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a while.
#   tools/fuzz.sh [seconds-per-target]   (default 120)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-120}

tools/setup.sh clang libclang-rt-14-dev
CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DOVITONE_FUZZ=ON -DOVITONE_TESTS=OFF -DOVITONE_BENCH=OFF
targets="reply_fuzz ini_fuzz ti_txt_fuzz config_plan_fuzz"
# shellcheck disable=SC2086
cmake --build build-fuzz --target $targets

# Each target starts from its hand-written seeds (fuzz/seeds/) and the corpus kept from
# earlier runs (fuzz/corpus/, merged with -merge=1 so that every input there reaches
# code the others do not); new finds go to build-fuzz/corpus/.
for target in $targets; do
  corpus=build-fuzz/corpus/$target
  mkdir -p "$corpus"
  cp -n fuzz/seeds/$target/* fuzz/corpus/$target/* "$corpus"/ 2>/dev/null || true
  echo "== $target for ${seconds}s"
  build-fuzz/fuzz/$target -max_total_time="$seconds" -print_final_stats=1 "$corpus" 2>&1 |
    grep -E "DONE|stat::number_of_executed_units|stat::peak_rss|ERROR|SUMMARY" || true
done
