#!/usr/bin/env bash
# Installs what is missing, builds everything with AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/packages.sh
jobs=$(nproc)
cmake -S . -B build/test -DCMAKE_BUILD_TYPE=Debug -DQV_SANITIZE=ON -DQV_BUILD_TESTS=ON
cmake --build build/test -j "$jobs"
export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
cd build/test
# Values, text and collation must not depend on the locale: run those tests
# under two more locales first, then everything under the default one.
locale_tests='Variant|VLMCast|VLMCompare|VLMCommon|VLMType|VLMConverts|VLMDate|TDateFormater|VLMRound|VLMDecimal|VLMMatchLike|VLMStrUtils|VLMTryParse|TextLocale|Collation|SysUtils|Format'
for loc in de_DE.UTF-8 sv_SE.UTF-8; do
  echo "== locale $loc"
  LC_ALL=$loc LANG=$loc ctest --output-on-failure -j "$jobs" --timeout 600 -R "$locale_tests"
done
ctest --output-on-failure -j "$jobs" --timeout 600
