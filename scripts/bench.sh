#!/usr/bin/env bash
# Builds and runs the benchmarks (after the test command has installed the
# packages). The server benchmark shares 4 emulated devices.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build
build/bench/transport_bench "$@"
umockdev-run --device tests/data/demo.umockdev -- build/bench/server_bench "$@"
build/bench/relay_bench "$@"
