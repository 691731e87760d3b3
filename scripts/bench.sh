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
build/bench/transport_bench $interleave "$@"
umockdev-run --device tests/data/demo.umockdev -- build/bench/server_bench $interleave "$@"
build/bench/relay_bench "$@"
build/bench/scale_bench "$@"
build/bench/attack_bench "$@"
umockdev-wrapper build/bench/forward_bench "$@"
