#!/usr/bin/env bash
# Builds the normal preset and runs every benchmark (the lab ones need root).
#   scripts/bench.sh [benchmark-name ...]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake --preset default >/dev/null
cmake --build --preset default
names=("$@")
if [ ${#names[@]} -eq 0 ]; then
  for b in build/default/bench/*_bench; do names+=("$(basename "$b")"); done
fi
for name in "${names[@]}"; do
  echo "== $name"
  "build/default/bench/$name"
done
