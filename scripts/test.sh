#!/usr/bin/env bash
# The whole test suite: installs what is missing, configures, builds and runs every test.
#   scripts/test.sh            normal build (build/default)
#   scripts/test.sh asan       AddressSanitizer + UndefinedBehaviorSanitizer (build/asan)
#   scripts/test.sh tsan       ThreadSanitizer (build/tsan)
# Lab tests build network namespaces and need root (or CAP_NET_ADMIN + CAP_SYS_ADMIN);
# without it they skip, except under CI=true, where a skip fails the run.
set -euo pipefail
preset=${1:-default}
cd "$(dirname "$0")/.."

bash scripts/deps.sh
# Labs left behind by an interrupted earlier run would only take up names.
if [ "$(id -u)" -eq 0 ]; then scripts/lab gc || true; fi

cmake --preset "$preset"
cmake --build --preset "$preset"
ctest --preset "$preset"
