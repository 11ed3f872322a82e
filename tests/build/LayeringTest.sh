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
# calls VLMChangeRetrySettings. Every engine header opens with its layer
# guard (QV_LIBRARY_LAYER, see CMakeLists.txt), so that the build itself
# refuses an upward include; the last part of the test shows it does.
# The tests and the benchmarks are not held to the face: they reach into the
# layer they test or measure.
#
# Usage: LayeringTest.sh SOURCE_DIR [CXX LIBRARY=DEFINITIONS...]
#            checks the tree, shows that a fixture tree with an upward
#            include is refused, and, given the compiler and the libraries'
#            definitions, that the build refuses one too
#        LayeringTest.sh --check DIR  checks DIR only (exit 1 on a violation)
set -uo pipefail

FACE="engine/components/VLMMain.h engine/components/VLMMainDataSet.h engine/components/VLMMainDatabase.h
  engine/components/VLMMainDefinitions.h engine/components/VLMMainSessions.h engine/components/VLMMainTable.h
  engine/components/VLMEngineUi.h engine/sql/VLMMainQuery.h"

# The kinds of source file checked: every C and C++ source and every
# fragment one may include.
SOURCES='.*\.(h|hh|hpp|hxx|inc|ipp|tpp|tcc|c|cc|cpp|cxx)$'

# check_tree <dir>: prints every include that breaks the rule; fails if any.
# An include is taken where the compiler finds it: a quoted one beside the
# including file when it is written relative ("./", "../") or a file of that
# name lies there, else (as an include in angle brackets) from the top of the
# tree. The layer of a path is the first matching prefix below; a path
# outside these folders (a system header, the tests) is not checked. Every
# engine header also carries its layer guard (QV_LIBRARY_LAYER, see
# CMakeLists.txt), which makes the build itself refuse an upward include.
check_tree() {
  local dir=$1
  (cd "$dir" && find platform crypto net engine appdata app tools bench \
      -type f -regextype posix-extended -regex "$SOURCES" 2>/dev/null | LC_ALL=C sort |
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
      # p with "." and ".." taken out ("a/./b/../c" is "a/c").
      function normalize(p,   n, parts, out, i, k, r) {
        n = split(p, parts, "/"); k = 0
        for (i = 1; i <= n; i++) {
          if (parts[i] == "" || parts[i] == ".") continue
          if (parts[i] == ".." && k > 0 && out[k] != "..") { k--; continue }
          out[++k] = parts[i]
        }
        r = ""
        for (i = 1; i <= k; i++) r = r (i > 1 ? "/" : "") out[i]
        return r
      }
      function exists(p,   line, ok) {
        ok = (getline line < p) >= 0
        close(p)
        return ok
      }
      # The guard number an engine header carries: 1 core ... 4 sql.
      function guardOf(p) {
        if (p ~ /^engine\/core\//) return 1
        if (p ~ /^engine\/storage\//) return 2
        if (p ~ /^engine\/components\//) return 3
        if (p ~ /^engine\/sql\//) return 4
        return 0
      }
      function endFile() {
        if (want > 0 && !guarded) {
          printf "no layer guard: %s lacks \"#if defined(QV_LIBRARY_LAYER) && QV_LIBRARY_LAYER < %d\"\n", file, want
          bad = 1
        }
      }
      FNR == 1 {
        if (NR > 1) endFile()
        file = FILENAME; from = layer(FILENAME); split(from, f, " ")
        here = FILENAME; sub(/\/[^\/]*$/, "", here)
        want = FILENAME ~ /\.(c|cc|cpp|cxx)$/ ? 0 : guardOf(FILENAME); guarded = 0
      }
      from == "" { next }
      /^[ \t]*#[ \t]*if[ \t].*QV_LIBRARY_LAYER[ \t]*<[ \t]*[0-9]+[ \t]*$/ {
        g = $0; sub(/.*<[ \t]*/, "", g); sub(/[ \t]*$/, "", g)
        if (g + 0 == want) guarded = 1
      }
      /VLMChangeRetrySettings/ && FILENAME ~ /^engine\// && FILENAME !~ /^engine\/core\/VLMSettings\./ {
        printf "settings changed inside the engine: %s calls VLMChangeRetrySettings\n", FILENAME
        bad = 1
      }
      /^[ \t]*#[ \t]*include[ \t]*[<"]/ {
        written = $0; sub(/^[^<"]*[<"]/, "", written); sub(/[>"].*/, "", written)
        quoted = $0 ~ /^[^<"]*"/
        if (quoted && written !~ /^\// && (written ~ /^\.\.?\// || exists(here "/" written)))
          inc = normalize(here "/" written)
        else
          inc = normalize(written)
        as = inc == written ? "" : " (written \"" written "\")"
        if (!quoted && written ~ /^Q/ && FILENAME !~ /^(platform\/gui|app|tools|bench)\//) {
          printf "Qt below the program: %s includes a Qt header\n", FILENAME
          bad = 1
        }
        if (FILENAME ~ /^(app|appdata|tools)\// && inc ~ /^engine\// && !(inc in inFace)) {
          printf "past the engine'"'"'s face: %s includes %s%s\n", FILENAME, inc, as
          bad = 1
        }
        if (FILENAME ~ /^engine\/sql\// && inc ~ /^engine\/storage\//) {
          printf "past the components: %s includes %s%s (engine/sql reaches tables through the components)\n",
            FILENAME, inc, as
          bad = 1
        }
        if (FILENAME ~ /^engine\/components\/.*\.(h|hh|hpp|hxx|inc|ipp|tpp|tcc)$/ && inc ~ /^engine\/storage\//) {
          printf "storage behind the components: %s includes %s%s (engine/sql includes the components'"'"' headers)\n",
            FILENAME, inc, as
          bad = 1
        }
        to = layer(inc)
        if (to == "") next
        split(to, t, " ")
        if (t[2] != f[2] && t[1] + 0 >= f[1] + 0) {
          printf "upward include: %s includes %s%s (%s may include only layers below it)\n", FILENAME, inc, as, f[2]
          bad = 1
        }
        next
      }
      END { if (NR > 0) endFile(); exit bad }')
}

if [ "${1:-}" = "--check" ]; then
  check_tree "$2"
  exit $?
fi

source_dir=$(cd "$1" && pwd) failures=0
shift
if ! check_tree "$source_dir"; then
  echo "FAILED: the tree breaks the layer rule"
  failures=$((failures + 1))
fi

# The guard lines of an engine header of layer $1 (1 core ... 4 sql).
guard() {
  printf '#if defined(QV_LIBRARY_LAYER) && QV_LIBRARY_LAYER < %d\n#error "above"\n#endif\n' "$1"
}

# A fixture tree: one file of every refused kind (a core header that
# includes the SQL engine, siblings, Qt below the program, a tool past the
# face, engine/sql on a storage header, a components header on a storage
# header, a settings change inside the engine; upward includes written
# relative, in angle brackets and in fragments other than .h and .cpp; engine
# headers without their layer guard or with another layer's)
# and of every allowed kind must give exactly these refusals.
work=$(mktemp -d "${TMPDIR:-/tmp}/qv-layers-XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/engine/core" "$work/engine/sql" "$work/engine/storage" "$work/engine/components" "$work/platform/os" \
  "$work/crypto" "$work/net" "$work/app" "$work/tools"
printf '#include "platform/os/File.h"\n' >"$work/engine/sql/Ok.cpp"
printf '#include "engine/core/Ok.h"\n#include <vector>\n' >"$work/engine/sql/AlsoOk.cpp"
printf '#include "Beside.h"\n#include "../core/Ok.h"\n#include <engine/components/VLMMain.h>\n' >"$work/engine/sql/Beside.cpp"
guard 4 >"$work/engine/sql/Beside.h"
{ guard 1; printf '#include "engine/sql/Ok.h"\n'; } >"$work/engine/core/Up.h"
printf '#include "../sql/VLMSQLProcessor.h"\n' >"$work/engine/core/Relative.cpp"
printf '#include <engine/sql/VLMSQLCommand.h>\n' >"$work/engine/core/Angle.cpp"
{ guard 1; printf '#include "engine/storage/VLMPage.h"\n'; } >"$work/engine/core/Fragment.inc"
{ guard 2; printf '#include <engine/components/VLMMain.h>\n'; } >"$work/engine/storage/Part.ipp"
{ guard 3; printf '#include "../sql/VLMMainQuery.h"\n'; } >"$work/engine/components/Old.hpp"
printf '#include "../storage/VLMDiskEngine.h"\n' >"$work/engine/sql/Relative.cpp"
printf '#include "engine/core/Ok.h"\n' >"$work/engine/storage/NoGuard.h"
guard 1 >"$work/engine/sql/OtherGuard.h"
printf '#include "crypto/Ok.h"\n' >"$work/net/Sibling.cpp"
printf '#include <QString>\n' >"$work/platform/os/Qt.cpp"
printf '#include "engine/components/VLMMain.h"\n' >"$work/app/Face.cpp"
printf '#include <engine/storage/VLMDiskEngine.h>\n' >"$work/app/Angle.cpp"
printf '#include "engine/components/VLMLocalEngine.h"\n' >"$work/tools/Inside.cpp"
printf '#include "engine/storage/VLMDiskEngine.h"\n' >"$work/engine/sql/Storage.cpp"
{ guard 3; printf '#include "engine/storage/VLMDiskEngine.h"\n'; } >"$work/engine/components/Storage.h"
printf '#include "engine/storage/VLMDiskEngine.h"\n' >"$work/engine/components/Storage.cpp"
printf 'void F() { VLMChangeRetrySettings().TableOpenTries = 1; }\n' >"$work/engine/storage/Owner.cpp"
out=$(check_tree "$work")
want="past the engine's face: app/Angle.cpp includes engine/storage/VLMDiskEngine.h
upward include: engine/components/Old.hpp includes engine/sql/VLMMainQuery.h (written \"../sql/VLMMainQuery.h\") (engine/components may include only layers below it)
storage behind the components: engine/components/Storage.h includes engine/storage/VLMDiskEngine.h (engine/sql includes the components' headers)
upward include: engine/core/Angle.cpp includes engine/sql/VLMSQLCommand.h (engine/core may include only layers below it)
upward include: engine/core/Fragment.inc includes engine/storage/VLMPage.h (engine/core may include only layers below it)
upward include: engine/core/Relative.cpp includes engine/sql/VLMSQLProcessor.h (written \"../sql/VLMSQLProcessor.h\") (engine/core may include only layers below it)
upward include: engine/core/Up.h includes engine/sql/Ok.h (engine/core may include only layers below it)
no layer guard: engine/sql/OtherGuard.h lacks \"#if defined(QV_LIBRARY_LAYER) && QV_LIBRARY_LAYER < 4\"
past the components: engine/sql/Relative.cpp includes engine/storage/VLMDiskEngine.h (written \"../storage/VLMDiskEngine.h\") (engine/sql reaches tables through the components)
past the components: engine/sql/Storage.cpp includes engine/storage/VLMDiskEngine.h (engine/sql reaches tables through the components)
no layer guard: engine/storage/NoGuard.h lacks \"#if defined(QV_LIBRARY_LAYER) && QV_LIBRARY_LAYER < 2\"
settings changed inside the engine: engine/storage/Owner.cpp calls VLMChangeRetrySettings
upward include: engine/storage/Part.ipp includes engine/components/VLMMain.h (engine/storage may include only layers below it)
upward include: net/Sibling.cpp includes crypto/Ok.h (net may include only layers below it)
Qt below the program: platform/os/Qt.cpp includes a Qt header
past the engine's face: tools/Inside.cpp includes engine/components/VLMLocalEngine.h"
if [ "$out" != "$want" ]; then
  echo "FAILED: the fixture tree's refusals differ:"
  printf '%s\n' "$out"
  failures=$((failures + 1))
fi

# The build's own refusal. Each LIBRARY=DEFINITIONS argument names a
# library (platform, core, storage, components, sql) and the compile
# definitions CMake gives it ('|' between them). A scratch source built with
# them includes a header of every engine layer: a header of a layer above the
# library must stop the build with its layer guard, the others must not.
# Only the preprocessor runs (the guard is an #error), but for one whole
# compile of an engine/core file that includes the SQL engine and calls it;
# the core's scratch also includes the SQL engine relative and in angle
# brackets.
if [ $# -gt 0 ]; then
  cxx=$1
  shift
  scratch=$work/build/engine/core
  mkdir -p "$scratch"
  for d in storage components sql; do ln -s "$source_dir/engine/$d" "$work/build/engine/$d"; done
  headers="1 engine/core/VLMTypes.h
2 engine/storage/VLMDiskEngine.h
3 engine/components/VLMMain.h
4 engine/sql/VLMSQLProcessor.h"
  # try_build <flags...>: builds $scratch/Scratch.cpp; prints why it failed.
  try_build() {
    local log
    if log=$("$cxx" -std=c++20 -I"$source_dir" "$@" "$scratch/Scratch.cpp" -o /dev/null 2>&1); then return 0; fi
    grep -q 'lies above the library being compiled' <<<"$log" && return 1
    printf '%s\n' "$log" | head -5
    return 2
  }
  for spec in "$@"; do
    lib=${spec%%=*}
    case $lib in platform) own=0 ;; core) own=1 ;; storage) own=2 ;; components) own=3 ;; sql) own=4 ;;
      *) echo "FAILED: unknown library $lib"; failures=$((failures + 1)); continue ;; esac
    defs=()
    IFS='|' read -ra list <<<"${spec#*=}"
    for d in "${list[@]}"; do [ -n "$d" ] && defs+=("-D$d"); done
    cases=$(while read -r n header; do
      printf '%s "%s"\n' "$n" "$header"
      [ "$lib" = core ] && [ "$n" = 4 ] && printf '%s <%s>\n%s "../%s"\n' "$n" "$header" "$n" "${header#engine/}"
    done <<<"$headers")
    while read -r n written; do
      printf '#include %s\n' "$written" >"$scratch/Scratch.cpp"
      try_build -E "${defs[@]}"
      rc=$?
      if [ $rc -eq 2 ] || { [ "$n" -gt "$own" ] && [ $rc -ne 1 ]; } || { [ "$n" -le "$own" ] && [ $rc -ne 0 ]; }; then
        echo "FAILED: the $lib library including $written: $([ $rc -eq 0 ] && echo built || echo refused)"
        failures=$((failures + 1))
      fi
    done <<<"$cases"
    if [ "$lib" = core ]; then
      printf '#include "engine/sql/VLMSQLProcessor.h"\nvoid F() { TVLMSQLProcessor processor(nullptr); }\n' >"$scratch/Scratch.cpp"
      try_build -fsyntax-only "${defs[@]}"
      if [ $? -ne 1 ]; then
        echo "FAILED: an engine/core file that calls the SQL engine was not refused by its layer guard"
        failures=$((failures + 1))
      fi
    fi
  done
fi

[ $failures -eq 0 ] && echo "the layer rule holds"
exit $((failures != 0))
