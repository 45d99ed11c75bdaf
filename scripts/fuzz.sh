#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan+UBSan) and runs each for a bounded time.
#   scripts/fuzz.sh [seconds-per-target]   (default 60)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
bash scripts/deps.sh
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for target in build/fuzz/fuzz/*_fuzz; do
  name=$(basename "$target" _fuzz)
  mkdir -p "$work/$name"
  echo "== fuzz $name for ${seconds}s"
  # New inputs go to a scratch corpus; the seeds in the tree stay as they are.
  "$target" -max_total_time="$seconds" -max_len=16384 -print_final_stats=1 \
    -artifact_prefix="$work/" "$work/$name" "fuzz/corpus/$name" 2>&1 | tail -n 12
done
