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
#
# Two more rules keep the engine's inner headers inside the engine:
#   - the program and the tools (app, app/engineui, appdata, tools) include
#     only the engine's face (FACE below): the components, the query
#     component, the settings and the engine's errors;
#   - engine/sql reaches tables through the components and the core's
#     interfaces, never through a header of engine/storage: not directly, nor
#     through a header of the components (which include no storage header, so
#     a statement cannot reach one through them either);
# and the retry settings are changed only by their owner: no file of engine/
# calls VLMChangeRetrySettings.
# The tests and the benchmarks are not held to the face: they reach into the
# layer they test or measure.
#
# Usage: LayeringTest.sh SOURCE_DIR   checks the tree, then shows that a
#                                      fixture tree with an upward include is
#                                      refused
#        LayeringTest.sh --check DIR  checks DIR only (exit 1 on a violation)
set -uo pipefail

FACE="engine/components/VLMMain.h engine/components/VLMMainDataSet.h engine/components/VLMMainDatabase.h
  engine/components/VLMMainDefinitions.h engine/components/VLMMainSessions.h engine/components/VLMMainTable.h
  engine/components/VLMEngineUi.h engine/sql/VLMMainQuery.h"

# check_tree <dir>: prints every include that breaks the rule; fails if any.
# The layer of a path is the first matching prefix below; a path outside
# these folders (a system header, the tests) is not checked.
check_tree() {
  local dir=$1
  (cd "$dir" && find platform crypto net engine appdata app tools bench \
      -type f \( -name '*.h' -o -name '*.cpp' -o -name '*.c' \) 2>/dev/null | sort |
    xargs -r awk -v face="$FACE" '
      BEGIN { n = split(face, list, /[ \n]+/); for (i = 1; i <= n; i++) if (list[i] != "") inFace[list[i]] = 1 }
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
      /VLMChangeRetrySettings/ && FILENAME ~ /^engine\// && FILENAME !~ /^engine\/core\/VLMSettings\./ {
        printf "settings changed inside the engine: %s calls VLMChangeRetrySettings\n", FILENAME
        bad = 1
      }
      /^[ \t]*#[ \t]*include[ \t]+"/ {
        inc = $0; sub(/^[^"]*"/, "", inc); sub(/".*/, "", inc)
        if (FILENAME ~ /^(app|appdata|tools)\// && inc ~ /^engine\// && !(inc in inFace)) {
          printf "past the engine'"'"'s face: %s includes %s\n", FILENAME, inc
          bad = 1
        }
        if (FILENAME ~ /^engine\/sql\// && inc ~ /^engine\/storage\//) {
          printf "past the components: %s includes %s (engine/sql reaches tables through the components)\n", FILENAME, inc
          bad = 1
        }
        if (FILENAME ~ /^engine\/components\/.*\.h$/ && inc ~ /^engine\/storage\//) {
          printf "storage behind the components: %s includes %s (engine/sql includes the components'"'"' headers)\n", FILENAME, inc
          bad = 1
        }
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

# A fixture tree: one file of every refused kind (a core header that
# includes the SQL engine, siblings, Qt below the program, a tool past the
# face, engine/sql on a storage header, a components header on a storage
# header, a settings change inside the engine)
# and of every allowed kind must give exactly these refusals.
work=$(mktemp -d "${TMPDIR:-/tmp}/qv-layers-XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/engine/core" "$work/engine/sql" "$work/engine/storage" "$work/engine/components" "$work/platform/os" \
  "$work/crypto" "$work/net" "$work/app" "$work/tools"
printf '#include "platform/os/File.h"\n' >"$work/engine/sql/Ok.cpp"
printf '#include "engine/core/Ok.h"\n#include <vector>\n' >"$work/engine/sql/AlsoOk.cpp"
printf '#include "engine/sql/Ok.h"\n' >"$work/engine/core/Up.h"
printf '#include "crypto/Ok.h"\n' >"$work/net/Sibling.cpp"
printf '#include <QString>\n' >"$work/platform/os/Qt.cpp"
printf '#include "engine/components/VLMMain.h"\n' >"$work/app/Face.cpp"
printf '#include "engine/components/VLMLocalEngine.h"\n' >"$work/tools/Inside.cpp"
printf '#include "engine/storage/VLMDiskEngine.h"\n' >"$work/engine/sql/Storage.cpp"
printf '#include "engine/storage/VLMDiskEngine.h"\n' >"$work/engine/components/Storage.h"
printf '#include "engine/storage/VLMDiskEngine.h"\n' >"$work/engine/components/Storage.cpp"
printf 'void F() { VLMChangeRetrySettings().TableOpenTries = 1; }\n' >"$work/engine/storage/Owner.cpp"
out=$(check_tree "$work")
want="storage behind the components: engine/components/Storage.h includes engine/storage/VLMDiskEngine.h (engine/sql includes the components' headers)
upward include: engine/core/Up.h includes engine/sql/Ok.h (engine/core may include only layers below it)
past the components: engine/sql/Storage.cpp includes engine/storage/VLMDiskEngine.h (engine/sql reaches tables through the components)
settings changed inside the engine: engine/storage/Owner.cpp calls VLMChangeRetrySettings
upward include: net/Sibling.cpp includes crypto/Ok.h (net may include only layers below it)
Qt below the program: platform/os/Qt.cpp includes a Qt header
past the engine's face: tools/Inside.cpp includes engine/components/VLMLocalEngine.h"
if [ "$out" != "$want" ]; then
  echo "FAILED: the fixture tree's refusals differ:"
  printf '%s\n' "$out"
  failures=$((failures + 1))
fi

[ $failures -eq 0 ] && echo "the layer rule holds"
exit $((failures != 0))
