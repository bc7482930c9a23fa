#!/bin/sh
# Runs bench_app as the end-to-end tests run: on a private session bus, with umockdev's preload
# library in front (and its i386 one for the 32-bit program).
# usage: bench/app-bench.sh BUILD_DIR/bench/bench_app [startup|latency|memory|window|switch|events|liveview] [--shots N]
set -eu
exec "$(dirname "$0")/../tests/app/e2e-wrapper.sh" "$@"
