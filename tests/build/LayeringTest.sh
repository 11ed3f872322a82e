#!/usr/bin/env bash
# The layer rule, checked on every include of the tree: a folder includes only
# its own headers and those of the layers below it,
#
#   platform/host < platform/os < platform/dataset, platform/gui
#     < crypto, net < engine/core < engine/storage < engine/components
#     < engine/sql < appdata, app/engineui < app < tools, bench
#
# where folders named on one step (siblings) never include each other. Qt is
# included only above the engine (platform/gui, app, tools, bench).
# The tests are not checked: they reach into the layer they test.
#
# Usage: LayeringTest.sh SOURCE_DIR   checks the tree, then shows that a
#                                      fixture tree with an upward include is
#                                      refused
#        LayeringTest.sh --check DIR  checks DIR only (exit 1 on a violation)
set -uo pipefail

# check_tree <dir>: prints every include that breaks the rule; fails if any.
# The layer of a path is the first matching prefix below; a path outside
# these folders (a system header, the tests) is not checked.
check_tree() {
  local dir=$1
  (cd "$dir" && find platform crypto net engine appdata app tools bench \
      -type f \( -name '*.h' -o -name '*.cpp' -o -name '*.c' \) 2>/dev/null | sort |
    xargs -r awk '
      function layer(p) {
        if (p ~ /^platform\/host\//) return "0 platform/host"
        if (p ~ /^platform\/os\//) return "1 platform/os"
        if (p ~ /^platform\/dataset\//) return "2 platform/dataset"
        if (p ~ /^platform\/gui\//) return "2 platform/gui"
        if (p ~ /^crypto\//) return "3 crypto"
        if (p ~ /^net\//) return "3 net"
        if (p ~ /^engine\/core\//) return "4 engine/core"
        if (p ~ /^engine\/storage\//) return "5 engine/storage"
        if (p ~ /^engine\/components\//) return "6 engine/components"
        if (p ~ /^engine\/sql\//) return "7 engine/sql"
        if (p ~ /^appdata\//) return "8 appdata"
        if (p ~ /^app\/engineui\//) return "8 app/engineui"
        if (p ~ /^app\//) return "9 app"
        if (p ~ /^tools\//) return "10 tools"
        if (p ~ /^bench\//) return "10 bench"
        return ""
      }
      FNR == 1 { from = layer(FILENAME); split(from, f, " ") }
      from == "" { next }
      /^[ \t]*#[ \t]*include[ \t]+"/ {
        inc = $0; sub(/^[^"]*"/, "", inc); sub(/".*/, "", inc)
        to = layer(inc)
        if (to == "") next
        split(to, t, " ")
        if (t[2] != f[2] && t[1] + 0 >= f[1] + 0) {
          printf "upward include: %s includes %s (%s may include only layers below it)\n", FILENAME, inc, f[2]
          bad = 1
        }
        next
      }
      /^[ \t]*#[ \t]*include[ \t]+<Q/ {
        if (FILENAME !~ /^(platform\/gui|app|tools|bench)\//) {
          printf "Qt below the program: %s includes a Qt header\n", FILENAME
          bad = 1
        }
      }
      END { exit bad }')
}

if [ "${1:-}" = "--check" ]; then
  check_tree "$2"
  exit $?
fi

source_dir=$1 failures=0
if ! check_tree "$source_dir"; then
  echo "FAILED: the tree breaks the layer rule"
  failures=$((failures + 1))
fi

# A fixture tree: a core header that includes the SQL engine, and one of
# every allowed kind, must give exactly the one refusal.
work=$(mktemp -d "${TMPDIR:-/tmp}/qv-layers-XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/engine/core" "$work/engine/sql" "$work/platform/os" "$work/crypto" "$work/net"
printf '#include "platform/os/File.h"\n' >"$work/engine/sql/Ok.cpp"
printf '#include "engine/core/Ok.h"\n#include <vector>\n' >"$work/engine/sql/AlsoOk.cpp"
printf '#include "engine/sql/Ok.h"\n' >"$work/engine/core/Up.h"
printf '#include "crypto/Ok.h"\n' >"$work/net/Sibling.cpp"
printf '#include <QString>\n' >"$work/platform/os/Qt.cpp"
out=$(check_tree "$work")
want="upward include: engine/core/Up.h includes engine/sql/Ok.h (engine/core may include only layers below it)
upward include: net/Sibling.cpp includes crypto/Ok.h (net may include only layers below it)
Qt below the program: platform/os/Qt.cpp includes a Qt header"
if [ "$out" != "$want" ]; then
  echo "FAILED: the fixture tree's refusals differ:"
  printf '%s\n' "$out"
  failures=$((failures + 1))
fi

[ $failures -eq 0 ] && echo "the layer rule holds"
exit $((failures != 0))
