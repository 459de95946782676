#!/usr/bin/env bash
# Builds the fuzz targets with clang and libFuzzer (AddressSanitizer +
# UndefinedBehaviorSanitizer) in build/fuzz, replays the inputs of crashes
# fixed earlier (fuzz/regressions/<target>/), and fuzzes every target for a
# bounded time from its seed corpus (fuzz/corpus/<target>/). Exits non-zero
# when any replay or fuzz run crashes; the crashing input is kept under
# build/fuzz/artifacts/<target>/.
#
# FUZZ_SECONDS: time per target (default 20). FUZZ_TARGETS: the targets to
# run (default all). JOBS: build parallelism (default 2).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$root/build/fuzz
seconds=${FUZZ_SECONDS:-20}
jobs=${JOBS:-2}
targets=${FUZZ_TARGETS:-"command_line journal pending_renames port_names subkey version_resource"}

cxx=$(command -v clang++-14 || command -v clang++ || true)
if [ -z "$cxx" ]; then
  echo "fuzz: clang++ not found; run scripts/setup-fuzz.sh" >&2
  exit 2
fi

echo "== Fuzz build (clang, libFuzzer, ASan + UBSan)"
cmake -S fuzz -B "$build" -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$jobs" >"$build/build.log" 2>&1 || {
  tail -40 "$build/build.log"
  echo "fuzz: build failed" >&2
  exit 1
}

export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

passed=0
failed=0
report() {  # name, status, log
  if [ "$2" -eq 0 ]; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "---- $3 (last lines)"
    tail -40 "$3"
    echo "----"
  fi
}

for target in $targets; do
  binary=$build/fuzz_$target
  logs=$build/logs
  artifacts=$build/artifacts/$target
  corpus=$build/corpus/$target
  mkdir -p "$logs" "$artifacts" "$corpus"

  regressions=()
  if [ -d "fuzz/regressions/$target" ]; then
    while IFS= read -r -d '' file; do regressions+=("$file"); done \
      < <(find "fuzz/regressions/$target" -type f -print0 | sort -z)
  fi
  if [ ${#regressions[@]} -gt 0 ]; then
    log=$logs/$target.replay.log
    status=0
    "$binary" "${regressions[@]}" >"$log" 2>&1 || status=$?
    if [ "$status" -eq 0 ]; then
      echo "replay $target: ${#regressions[@]} regression inputs ok"
    else
      echo "replay $target: FAILED (exit $status)"
    fi
    report "replay $target" "$status" "$log"
  fi

  log=$logs/$target.log
  status=0
  "$binary" "$corpus" "fuzz/corpus/$target" -max_total_time="$seconds" -max_len=2048 \
    -timeout=25 -artifact_prefix="$artifacts/" -print_final_stats=1 >"$log" 2>&1 || status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  if [ "$status" -eq 0 ]; then
    echo "fuzz $target: ${runs:-?} inputs in ${seconds} s, no crash"
  else
    echo "fuzz $target: CRASH (exit $status); inputs under $artifacts"
  fi
  report "fuzz $target" "$status" "$log"
done

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
