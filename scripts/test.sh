#!/usr/bin/env bash
# Installs what is missing and runs every test twice: first built with
# AddressSanitizer and UndefinedBehaviorSanitizer and the engine's invariant
# checks (QV_DEBUG_CHECKS, engine/core/VLMCheck.h) (the benchmarks included,
# built only, so they keep compiling; they are run by hand), then built
# optimized (-O2, no sanitizers), where random runs reach further in their
# time budget and the compiler's optimizations have their say; the optimized
# build also runs the quick tests under two more locales. A compiler warning
# fails either build.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
bash scripts/packages.sh
jobs=$(nproc)
cmake -S . -B build/test -DCMAKE_BUILD_TYPE=Debug -DQV_SANITIZE=ON -DQV_BUILD_TESTS=ON -DQV_BUILD_BENCH=ON -DQV_WERROR=ON
cmake --build build/test -j "$jobs"
export QT_QPA_PLATFORM=offscreen
(
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  cd build/test
  ctest --output-on-failure -j "$jobs" --timeout 600
)
echo "== optimized build"
cmake -S . -B build/release-test -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQV_SANITIZE=OFF -DQV_BUILD_TESTS=ON \
      -DQV_BUILD_BENCH=OFF -DQV_WERROR=ON
cmake --build build/release-test -j "$jobs"
cd "$root/build/release-test"
# The test programs adopt the environment's locale, as the program does: run
# them again under two more locales to show that no result depends on it (the
# long compression runs, the random, model, fuzz, stress and crash runs and
# the socket tests are left out: they take their time budget once). The
# optimized build runs them, as the locale has nothing to say to the
# sanitizers and this keeps the suite within its time.
for loc in de_DE.UTF-8 sv_SE.UTF-8; do
  echo "== locale $loc"
  LC_ALL=$loc LANG=$loc ctest --output-on-failure -j "$jobs" --timeout 600 -E 'PPMd|Model|^Net|Crash|Fuzz|Stress|Random|Corruption|Property'
done
echo "== default locale"
ctest --output-on-failure -j "$jobs" --timeout 600
