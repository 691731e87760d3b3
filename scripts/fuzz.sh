#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer, ASan, UBSan) and runs each
# for a bounded time, starting from its stored inputs. Does nothing without
# clang. A crash fails the run and leaves the input in build-fuzz/findings/.
#   scripts/fuzz.sh [SECONDS_PER_TARGET]   (default 10)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-10}
if ! command -v clang++ >/dev/null 2>&1; then
  echo "fuzz: no clang here, skipped"
  exit 0
fi
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUSBIP_BUILD_FUZZ=ON \
  -DUSBIP_BUILD_TESTS=OFF -DUSBIP_BUILD_BENCH=OFF >/dev/null
cmake --build build-fuzz
mkdir -p build-fuzz/findings
targets=$(sed -n 's/^set(USBIP_FUZZ_TARGETS \(.*\))$/\1/p' fuzz/CMakeLists.txt)
run_one() {
  local t=$1 work=build-fuzz/corpus/$1
  mkdir -p "$work"
  cp -n fuzz/corpus/"$t"/* "$work"/ 2>/dev/null || true
  if build-fuzz/fuzz/fuzz_"$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=1024 \
       -artifact_prefix=build-fuzz/findings/"$t"- "$work" >build-fuzz/fuzz_"$t".log 2>&1; then
    echo "fuzz $t: $(grep -o 'Done [0-9]* runs' build-fuzz/fuzz_"$t".log | tail -1)"
  else
    echo "fuzz $t: FAILED"; tail -30 build-fuzz/fuzz_"$t".log; return 1
  fi
}
# Two targets at a time: one per core.
status=0
set -- $targets
while [ $# -gt 0 ]; do
  run_one "$1" & a=$!
  b=""
  if [ $# -gt 1 ]; then run_one "$2" & b=$!; fi
  wait $a || status=1
  if [ -n "$b" ]; then wait $b || status=1; fi
  shift; [ $# -gt 0 ] && shift
done
exit $status
