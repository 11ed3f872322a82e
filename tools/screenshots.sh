#!/usr/bin/env bash
# Screenshots of the main window in each log layout (GP, contest, WWDX, NAQP,
# IBM) under a virtual X server, saved as build/screenshots/<layout>.png; then
# the settings dialog, the log editor, the multiplier view and a page of the
# printed report, drawn offscreen by the dialog tests of app_tests (when that
# program is in the same folder) as settings.png, editor.png,
# multipliers.png and report.png.
#
# Usage: tools/screenshots.sh [folder holding the quorvex executable]
#        (default: build/ of the repository; QUORVEX_EXE overrides the path)
#
# Each layout runs in a program folder and a settings file of its own, made
# here in a temporary folder: a log "DEMO" of the wanted kind, saved settings
# (no first-run dialog) and a call sign (no reminder). Nothing of the user's
# own settings or logs is read or written.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
exe=${QUORVEX_EXE:-$build/quorvex}
out=$root/build/screenshots
[ -x "$exe" ] || { echo "no quorvex executable at $exe (build the target quorvex first)" >&2; exit 1; }

missing=()
command -v Xvfb >/dev/null || missing+=(xvfb)
command -v import >/dev/null || missing+=(imagemagick)
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" = 0 ]; then
    apt-get update -q >/dev/null && apt-get install -y -q "${missing[@]}" >/dev/null
  else
    echo "needs: ${missing[*]} (apt-get install ${missing[*]})" >&2; exit 1
  fi
fi

mkdir -p "$out"
work=$(mktemp -d)
xpid=""
qpid=""
cleanup() {
  [ -n "$qpid" ] && kill "$qpid" 2>/dev/null || true
  [ -n "$xpid" ] && kill "$xpid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

display=:$(( 90 + RANDOM % 100 ))
Xvfb "$display" -screen 0 1100x780x24 -nolisten tcp >/dev/null 2>&1 &
xpid=$!
sleep 1

# layout name, TypeLog, TypeContest
layouts=("GP 0 GP" "contest 1 Other" "WWDX 1 WWDX" "NAQP 1 NAQP" "IBM 1 IBM")
for entry in "${layouts[@]}"; do
  read -r name typeLog code <<<"$entry"
  home=$work/$name/home
  config=$work/$name/config
  mkdir -p "$home/DEMO" "$config/Quorvex"
  # Database files the program looks for (the tables themselves are still
  # kept in memory by the program).
  : >"$home/V5LogDB.vlm"; : >"$home/DEMO/V5LogDB.vlm"; : >"$home/USCountryDB.vlm"; : >"$home/WWHAMDB.vlm"
  printf '%s\n' "[Settings]" "Status=4" "LogName=DEMO" "ZSlashed=1" \
    "[MainForm]" "Status=1" "Top=0" "Left=0" "Width=1090" "Height=770" \
    "[Log Index\\DEMO]" "MyCall=W1AW" "MyName=Hiram" "MyState=CT" "MyCountry=USA" "MyContinent=NA" \
    "AutoManTime=True" "TypeLog=$typeLog" "TypeContest=$code" "MyXmtrID=1" "MyZone=05" \
    >"$config/Quorvex/QuorvexV5.ini"
  chmod 600 "$config/Quorvex/QuorvexV5.ini"
  DISPLAY=$display QT_QPA_PLATFORM=xcb QUORVEX_HOME=$home XDG_CONFIG_HOME=$config \
    "$exe" >"$work/$name.log" 2>&1 &
  qpid=$!
  sleep 3
  DISPLAY=$display import -window root "$out/$name.png"
  kill "$qpid" 2>/dev/null || true
  wait "$qpid" 2>/dev/null || true
  qpid=""
  echo "$out/$name.png"
done

tests=${QUORVEX_TESTS:-$(dirname "$exe")/app_tests}
if [ -x "$tests" ]; then
  QV_SCREENSHOT_DIR=$out QT_QPA_PLATFORM=offscreen "$tests" \
    --gtest_filter='DialogsOffscreenTest.*:ReportPrintTest.PagesByLogKind' >"$work/dialogs.log" 2>&1 ||
    { cat "$work/dialogs.log" >&2; exit 1; }
  for name in settings editor multipliers report; do echo "$out/$name.png"; done
else
  echo "no app_tests at $tests: no pictures of the dialogs" >&2
fi
