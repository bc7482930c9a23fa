#!/bin/sh
# Runs bench_app on a private session bus with umockdev's preload library in front.
# usage: bench/app-bench.sh BUILD_DIR/bench/bench_app [startup|latency|memory|window]
set -eu
ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0"
export ASAN_OPTIONS
exec dbus-run-session -- umockdev-wrapper "$@"
