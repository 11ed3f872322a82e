#!/usr/bin/env bash
# Installs what is missing, builds the program and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/packages.sh
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DQV_BUILD_TESTS=OFF
cmake --build build/release -j "$(nproc)"
if [ -x build/release/quorvex ]; then
  exec build/release/quorvex "$@"
else
  echo "Built every library; the program quorvex is not part of this build yet."
fi
