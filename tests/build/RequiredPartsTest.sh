#!/usr/bin/env bash
# The build fails at once, and says why, when a required part is missing;
# scripts/run.sh fails clearly when the program was not built.
# Arguments: the cmake program, the source folder, the generator.
set -uo pipefail
cmake_bin=$1
source_dir=$2
generator=$3
work=$(mktemp -d "${TMPDIR:-/tmp}/qv-build-test-XXXXXX")
trap 'rm -rf "$work"' EXIT
failures=0

fail() {
  echo "FAILED: $*"
  failures=$((failures + 1))
}

# configure <name> <expected exit: 0 or 1> <text the output must hold> <cmake options...>
configure() {
  local name=$1 want=$2 text=$3
  shift 3
  local out="$work/$name.log"
  "$cmake_bin" -S "$source_dir" -B "$work/$name" -G "$generator" "$@" >"$out" 2>&1
  local rc=$?
  if { [ "$want" = 0 ] && [ $rc -ne 0 ]; } || { [ "$want" = 1 ] && [ $rc -eq 0 ]; }; then
    fail "$name: configure exit code $rc"
    tail -20 "$out"
  fi
  if [ -n "$text" ] && ! grep -qF "$text" "$out"; then
    fail "$name: the output does not say \"$text\""
    tail -20 "$out"
  fi
}

configure no-qt 1 "Qt 6 Widgets not found" -DCMAKE_DISABLE_FIND_PACKAGE_Qt6=ON -DQV_BUILD_TESTS=OFF
configure no-openssl 1 "OpenSSL (headers and libraries) not found" \
  -DCMAKE_DISABLE_FIND_PACKAGE_OpenSSL=ON -DQV_BUILD_APP=OFF -DQV_BUILD_TESTS=ON
# The same options with the parts present configure, and QV_WERROR makes
# warnings errors.
configure libraries-only 0 "" -DQV_BUILD_APP=OFF -DQV_BUILD_TESTS=OFF -DQV_WERROR=ON \
  -DCMAKE_EXPORT_COMPILE_COMMANDS=ON
if ! grep -q -- "-Werror" "$work/libraries-only/compile_commands.json" 2>/dev/null; then
  fail "QV_WERROR=ON does not compile with -Werror"
fi

# scripts/run.sh in a copy of the scripts whose build steps do nothing, so
# that no program appears.
mkdir -p "$work/tree/scripts" "$work/bin"
cp "$source_dir/scripts/run.sh" "$work/tree/scripts/run.sh"
printf '#!/usr/bin/env bash\nexit 0\n' >"$work/tree/scripts/packages.sh"
printf '#!/usr/bin/env bash\nexit 0\n' >"$work/bin/cmake"
chmod +x "$work/bin/cmake"
PATH="$work/bin:$PATH" bash "$work/tree/scripts/run.sh" >"$work/run.out" 2>"$work/run.err"
rc=$?
if [ $rc -eq 0 ]; then
  fail "run.sh succeeded without a program"
fi
if ! grep -q "the program was not built" "$work/run.err"; then
  fail "run.sh does not say that the program was not built"
  cat "$work/run.out" "$work/run.err"
fi

if [ $failures -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "all build checks passed"
