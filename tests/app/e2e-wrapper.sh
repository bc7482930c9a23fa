#!/bin/sh
# Runs a test program on a private session bus of its own, with umockdev's preload library in
# front, so that every test case (and the program it starts) sees its own bus and USB testbed.
# AddressSanitizer would refuse to start with a library loaded ahead of its runtime, so its
# check of that order is off here. The 32-bit program finds umockdev's i386 preload library
# (fetched by tools/setup) on the library path, where 64-bit programs pass over it.
ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0"
export ASAN_OPTIONS
i386_preload="$(cd "$(dirname "$0")/../.." && pwd)/.deps/i386"
if [ -e "$i386_preload/libumockdev-preload.so.0" ]; then
    LD_LIBRARY_PATH="$i386_preload${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
    export LD_LIBRARY_PATH
fi
exec dbus-run-session -- umockdev-wrapper "$@"
