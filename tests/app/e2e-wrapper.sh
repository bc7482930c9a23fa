#!/bin/sh
# Runs a test program on a private session bus of its own, with umockdev's preload library in
# front, so that every test case (and the program it starts) sees its own bus and USB testbed.
# AddressSanitizer would refuse to start with a library loaded ahead of its runtime, so its
# check of that order is off here.
ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0"
export ASAN_OPTIONS
exec dbus-run-session -- umockdev-wrapper "$@"
