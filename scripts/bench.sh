#!/usr/bin/env bash
# Builds and runs the benchmarks (after the test command has installed the
# packages). The server benchmark shares 4 emulated devices.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build
# Repetitions of the compared benchmarks run interleaved, so that the
# machine's drifting speed treats library and baseline alike.
interleave=--benchmark_enable_random_interleaving=true

# Every list request is a connection of its own, and the server closes
# first: a program leaves tens of thousands of loopback connections in
# TIME_WAIT for a minute, and the next one's connects can find no free
# port. Each program starts once they have drained (at most 70 s).
drain() {
  local i
  for ((i = 0; i < 70; i++)); do
    [ "$(ss -tan state time-wait 2>/dev/null | wc -l)" -lt 5000 ] && return
    sleep 1
  done
}

drain; build/bench/transport_bench $interleave "$@"
drain; umockdev-run --device tests/data/demo.umockdev -- build/bench/server_bench $interleave "$@"
drain; build/bench/relay_bench "$@"
drain; build/bench/scale_bench "$@"
drain; build/bench/attack_bench "$@"
drain; build/bench/secure_bench "$@"
drain; umockdev-wrapper build/bench/forward_bench "$@"
