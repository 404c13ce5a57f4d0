#!/bin/sh
# Rebuilds the program's pictures under res/ (the icon and the two indicator
# bitmaps) with the mkart generator, byte for byte.
# usage: scripts/make-art.sh [--check] [BUILD_DIR]   (default: build/linux)
#   --check   regenerate into a temporary folder and compare with res/ (exit 1 if any differs)
# The res_test suite makes the same comparison in-process.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
check=0
if [ "${1:-}" = --check ]; then check=1; shift; fi
bin=${1:-$root/build/linux}/bin
[ -x "$bin/mkart" ] || { echo "make-art: $bin/mkart not found; build first (cmake --build --preset linux --target mkart)" >&2; exit 2; }
if [ $check -eq 0 ]; then
  "$bin/mkart" "$root/res"
  exit 0
fi
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
"$bin/mkart" "$out"
status=0
for f in "$out"/*; do
  name=$(basename "$f")
  if ! cmp -s "$f" "$root/res/$name"; then echo "make-art: res/$name differs from what mkart draws"; status=1; fi
done
[ $status -eq 0 ] && echo "make-art: res/ pictures match the generator"
exit $status
