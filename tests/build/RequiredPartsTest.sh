#!/usr/bin/env bash
# A configure without a required part stops and says why; QV_WERROR compiles
# with -Werror; scripts/run.sh fails clearly when no program was built.
# Arguments: the cmake program, the source folder, the generator.
set -uo pipefail
cmake_bin=$1 source_dir=$2 generator=$3 failures=0
work=$(mktemp -d "${TMPDIR:-/tmp}/qv-build-test-XXXXXX")
trap 'rm -rf "$work"' EXIT

# check <name> <wanted exit: 0 or 1> <text the output must hold> <command...>
check() {
  local name=$1 want=$2 text=$3
  shift 3
  "$@" >"$work/$name.log" 2>&1
  local rc=$?
  if [ $((rc != 0)) -ne "$want" ] || ! grep -qF -- "$text" "$work/$name.log"; then
    echo "FAILED: $name (exit code $rc)"
    tail -20 "$work/$name.log"
    failures=$((failures + 1))
  fi
}
configure() { "$cmake_bin" -S "$source_dir" -B "$work/build-$1" -G "$generator" "${@:2}"; }

check no-qt 1 "Qt 6 Widgets not found" configure a -DCMAKE_DISABLE_FIND_PACKAGE_Qt6=ON -DQV_BUILD_TESTS=OFF
check no-openssl 1 "OpenSSL (headers and libraries) not found" configure b -DCMAKE_DISABLE_FIND_PACKAGE_OpenSSL=ON \
  -DQV_BUILD_APP=OFF -DQV_BUILD_TESTS=ON
check no-sqlite 1 "SQLite 3 (headers and library) not found" configure d -DCMAKE_DISABLE_FIND_PACKAGE_SQLite3=ON \
  -DQV_BUILD_APP=OFF -DQV_BUILD_TESTS=ON
check werror 0 "" configure c -DQV_BUILD_APP=OFF -DQV_BUILD_TESTS=OFF -DQV_WERROR=ON -DCMAKE_EXPORT_COMPILE_COMMANDS=ON
check werror-flag 0 "-Werror" cat "$work/build-c/compile_commands.json"

# run.sh in a copy of the scripts whose install and build steps do nothing.
mkdir -p "$work/tree/scripts" "$work/bin"
cp "$source_dir/scripts/run.sh" "$work/tree/scripts/"
printf 'exit 0\n' >"$work/tree/scripts/packages.sh"
printf '#!/bin/sh\nexit 0\n' >"$work/bin/cmake"
chmod +x "$work/bin/cmake"
check run-without-program 1 "the program was not built" env PATH="$work/bin:$PATH" bash "$work/tree/scripts/run.sh"

[ $failures -eq 0 ] && echo "all build checks passed"
exit $((failures != 0))
