#!/usr/bin/env bash
# Installs what is missing, builds the program and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/packages.sh
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DQV_BUILD_TESTS=OFF
cmake --build build/release -j "$(nproc)"
program=build/release/quorvex
if [ ! -x "$program" ]; then
  echo "run.sh: the program was not built ($program is missing); see the build output above." >&2
  exit 1
fi
exec "$program" "$@"
