#!/usr/bin/env bash
# Builds the normal preset and runs every benchmark (the lab ones need root).
#   scripts/bench.sh [benchmark-name ...] [--benchmark-option ...]
# Options go to every benchmark named, e.g. the 254-camera upgrade behind one 1 Gbit/s port:
#   scripts/bench.sh upgrade_bench --benchmark_filter=Fleet
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake --preset default >/dev/null
cmake --build --preset default
names=()
options=()
for arg in "$@"; do
  if [[ "$arg" == --* ]]; then options+=("$arg"); else names+=("$arg"); fi
done
if [ ${#names[@]} -eq 0 ]; then
  for b in build/default/bench/*_bench; do names+=("$(basename "$b")"); done
fi
for name in "${names[@]}"; do
  echo "== $name"
  "build/default/bench/$name" "${options[@]}"
done
