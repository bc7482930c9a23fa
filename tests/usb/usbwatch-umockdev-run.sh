#!/bin/sh
# The shipped description of the virtual camera, played by umockdev-run, makes zarv-usbwatch
# see "Zarv Virtual Camera" arrive with its dictionary.
set -eu
usbwatch=$1
description=$2
ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0"
export ASAN_OPTIONS
out=$(umockdev-run -d "$description" -- "$usbwatch" --count 1 --timeout 20)
for want in '<string>Zarv Virtual Camera</string>' '<key>usbproperties</key>' \
            '<key>USB Serial Number</key>' '<key>locationID</key>' '<integer>31233</integer>'; do
    case $out in
        *"$want"*) ;;
        *) echo "missing from the arrival: $want"; echo "$out"; exit 1 ;;
    esac
done
case $out in
    "arrived com.quellbay.ZarvNikonCamera"*) ;;
    *) echo "no arrival reported"; echo "$out"; exit 1 ;;
esac
echo "Zarv Virtual Camera arrived"
