#!/usr/bin/env bash
# The main job on the bundled sample, on Linux: builds the two programs it runs
# (the demo preset: kv27m-update and bimgtool, unoptimised, in one unity build,
# no tests), checks the sample firmware image with bimgtool, then runs a full
# upgrade of the sample with kv27m-update on the simulated PC (progress bar on a
# terminal, plain lines otherwise). The settings backup goes to a scratch file.
# Installs only what that build needs (scripts/install-deps.sh demo: cmake, make,
# g++); scripts/test-all.sh installs the rest.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
jobs=${KV_JOBS:-$(nproc 2>/dev/null || echo 2)}
image=res/KV27M_FW_UPGRADE.bimg
bin=build/demo/bin

if [[ ${KV_SKIP_DEPS:-0} != 1 ]]; then
  bash scripts/install-deps.sh demo
fi
mkdir -p build/logs
log=build/logs/run-demo-build.log
echo "run-demo: building kv27m-update and bimgtool (log: $log)"
if ! { cmake --preset demo && cmake --build --preset demo -j "$jobs"; } >"$log" 2>&1; then
  tail -n 40 "$log"
  echo "run-demo: build failed (log: $log)" >&2
  exit 1
fi

echo "\$ $bin/bimgtool check $image"
"$bin/bimgtool" check "$image"
backup=build/logs/run-demo-backup.kv27ud
rm -f "$backup"
echo "\$ $bin/kv27m-update --simulate --backup $backup $image"
"$bin/kv27m-update" --simulate --backup "$backup" "$image"
