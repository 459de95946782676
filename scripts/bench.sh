#!/usr/bin/env bash
# Builds the benchmark (optimised, no sanitizers) in build/bench and runs it;
# arguments go to the benchmark (e.g. --sizes 10,100 --repeat 1).
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=${JOBS:-2}
cmake -S bench -B build/bench -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/bench -j"$jobs" >build/bench/build.log 2>&1 || {
  tail -40 build/bench/build.log
  echo "bench: build failed" >&2
  exit 1
}
build/bench/solvendale-bench "$@"
