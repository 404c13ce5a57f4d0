#!/usr/bin/env bash
# Formats the tracked C++ sources with the project's .clang-format.
#   scripts/format.sh           rewrite files in place
#   scripts/format.sh --check   list the files that differ (exit 1 if any)
#   scripts/format.sh [--check] FILE...   only these files
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
command -v clang-format >/dev/null || { echo "format: clang-format is not installed (apt-get install clang-format)" >&2; exit 2; }

check=0
if [[ ${1:-} == --check ]]; then check=1; shift; fi
if [[ $# -gt 0 ]]; then files=("$@"); else mapfile -t files < <(git ls-files '*.cpp' '*.h'); fi

differ=0
for f in "${files[@]}"; do
  if [[ $check -eq 1 ]]; then
    if ! clang-format "$f" | cmp -s "$f" -; then echo "$f"; differ=1; fi
  else
    clang-format -i "$f"
  fi
done
exit "$differ"
