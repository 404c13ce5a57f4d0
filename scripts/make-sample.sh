#!/bin/sh
# Rebuilds res/KV27M_FW_UPGRADE.bimg from the generated sample payload.
# usage: scripts/make-sample.sh [BUILD_DIR]   (default: build/linux)
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
bin=${1:-$root/build/linux}/bin
plain=$(mktemp)
trap 'rm -f "$plain"' EXIT
"$bin/samplefw" "$plain"
"$bin/bimgtool" pack --type 1 --name KV27-N4 --force-crc 0x6A68 "$plain" "$root/res/KV27M_FW_UPGRADE.bimg"
"$bin/bimgtool" check "$root/res/KV27M_FW_UPGRADE.bimg"
