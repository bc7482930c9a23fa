#!/bin/sh
# Runs a test program with umockdev's preload library in front. AddressSanitizer would refuse
# to start with a library loaded ahead of its runtime, so its check of that order is off here.
ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0"
export ASAN_OPTIONS
exec umockdev-wrapper "$@"
