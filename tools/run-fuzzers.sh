#!/usr/bin/env bash
# Longer fuzzing by hand: builds the fuzz targets of tests/fuzz (the same
# project the test suite builds, in build-fuzz/) and runs each for the given
# seconds, keeping a corpus per target in build-fuzz/corpus/.
#   tools/run-fuzzers.sh [seconds] [target...]   e.g. tools/run-fuzzers.sh 600 settings
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${1:-60}"
shift || true
if ! command -v clang++ >/dev/null; then
  echo "clang++ is not installed (tools/install-deps.sh installs it)"
  exit 77
fi
out="$root/build-fuzz"
cmake -S "$root" -B "$out" -G Ninja -DVEXMOR_FUZZERS=ON -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$out"
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for binary in "$out"/fuzz_*; do targets+=("${binary##*/fuzz_}"); done
fi
for target in "${targets[@]}"; do
  echo "fuzzing $target for ${seconds}s"
  mkdir -p "$out/corpus/$target"
  seeds=()
  [ -d "$root/tests/fuzz/seeds/$target" ] && seeds=("$root/tests/fuzz/seeds/$target")
  log="$out/fuzz-$target.log"
  if ! QT_QPA_PLATFORM=offscreen "$out/fuzz_$target" -max_total_time="$seconds" -max_len=4096 -rss_limit_mb=2048 \
    -artifact_prefix="$out/crash-$target-" "$out/corpus/$target" "${seeds[@]}" >"$log" 2>&1; then
    tail -40 "$log"
    echo "fuzzing $target failed: the input is kept as $out/crash-$target-*, the log in $log"
    exit 1
  fi
  grep -E "DONE" "$log" || true
done
