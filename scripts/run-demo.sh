#!/usr/bin/env bash
# The main job on the bundled sample, on Linux: builds the native programs,
# checks the sample firmware image with bimgtool, then runs a full upgrade of
# the sample with kv27m-update on the simulated PC (progress bar on a
# terminal, plain lines otherwise). The settings backup goes to a scratch file.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
jobs=${KV_JOBS:-$(nproc 2>/dev/null || echo 2)}
image=res/KV27M_FW_UPGRADE.bimg
bin=build/linux/bin

if [[ ${KV_SKIP_DEPS:-0} != 1 ]]; then
  bash scripts/install-deps.sh
fi
mkdir -p build/logs
log=build/logs/run-demo-build.log
if ! { cmake --preset linux && cmake --build --preset linux -j "$jobs"; } >"$log" 2>&1; then
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
