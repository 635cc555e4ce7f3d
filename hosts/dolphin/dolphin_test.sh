#!/usr/bin/env bash
# A real Dolphin, on an X server and a D-Bus session of its own, with a
# `kestrine-finder serve` beside it: KIO finds the built module through QT_PLUGIN_PATH
# without any setting, a right-click on a file shows the "Kestrine" submenu
# (previews and a prefix item on) and makes the file the Finder's
# selection, choosing the first preview copies the file's path, a right-click
# on the background makes the folder the selection, and Dolphin stays up.
# Everything it writes is in its temporary folder; with a fifth argument it
# saves a screenshot of the open submenu there.
#
#   dolphin_test.sh MODULE FINDER KESTRINE_MBI BUNDLE [SCREENSHOT.png]
#
# Exits 77 (skipped) when Dolphin is not installed.
set -euo pipefail
usage="usage: dolphin_test.sh MODULE FINDER KESTRINE_MBI BUNDLE [SCREENSHOT.png]"
MODULE="${1:?$usage}" FINDER="${2:?$usage}" MBI="${3:?$usage}" BUNDLE="${4:?$usage}"
SCREENSHOT="${5:-}"

source "$(dirname "$0")/../../testing/x_session_support.sh"
skip() { echo "skipped: $*"; exit 77; }
command -v dolphin >/dev/null || skip "Dolphin is not installed (./dev setup installs it)"

begin_x_session

files="$work/home/files"
name="Q3 Report & Plan_v2.txt"
bundles="$work/data/Kestrine/Contextual Menu Items"
mkdir -p "$work/qt5plugins/kf5/kfileitemaction" "$files" "$work/run" "$bundles" "$work/config"
chmod 700 "$work/run"
cp "$MODULE" "$work/qt5plugins/kf5/kfileitemaction/"
cp -r "$BUNDLE" "$bundles/"
printf 'smb://nas' >"$bundles/KestrineCM.plugin/Contents/Resources/Prefixes.txt"
cat >"$work/config/com.corvane.KestrineCM.plist" <<'PLIST'
<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict><key>ShowClipboardInMenu</key><true/></dict></plist>
PLIST
printf 'x' >"$files/$name"
write_bus_config "$work"
start_xvfb "$work"

# The test user's environment; `run` runs a command in it.
user_env=(env -i PATH=/usr/bin:/bin HOME="$work/home" XDG_RUNTIME_DIR="$work/run"
  XDG_DATA_HOME="$work/data" XDG_CONFIG_HOME="$work/config" XDG_CACHE_HOME="$work/cache"
  XDG_DATA_DIRS=/usr/share DISPLAY="$display" QT_QPA_PLATFORM=xcb
  QT_PLUGIN_PATH="$work/qt5plugins")
run() { "${user_env[@]}" "$@"; }
fail() {
  echo "$*"
  echo "--- Dolphin's standard output:"; cat "$work/out"
  echo "--- Dolphin's standard error:"; grep -v "udisks2\|Not connected to D-Bus" "$work/err" || true
  exit 1
}

# Not through `run`: $! must be the Finder itself (env execs it).
"${user_env[@]}" "$FINDER" serve >"$work/finder.log" 2>&1 &
finder=$!
wait_for grep -q ready "$work/finder.log" || { echo "kestrine-finder serve did not start"; exit 1; }
selection() { run "$MBI" --menu 2>/dev/null | grep -m1 '^# ' || true; }
selection_is() { [[ "$(selection)" == "# $1" ]]; }
clipboard_is() { [[ "$(run xclip -selection clipboard -o 2>/dev/null)" == "$1" ]]; }

# setsid: Dolphin and the bus it talks to form one session, ended together.
run setsid dbus-run-session --config-file="$work/bus.conf" -- dolphin "$files" \
  >"$work/out" 2>"$work/err" &
pid=""
find_dolphin() { pid="$(pgrep -n -f "^dolphin $files\$" || true)"; [[ -n "$pid" ]]; }
wait_for find_dolphin || fail "Dolphin did not start"
session="$(ps -o sid= -p "$pid" | tr -d ' ')"
window=""
find_window() { window="$(run xdotool search --onlyvisible --class dolphin | head -n 1)"; [[ -n "$window" ]]; }
wait_for find_window || fail "Dolphin showed no window"
run xdotool windowmove --sync "$window" 0 0

popups() { run xdotool search --onlyvisible --class dolphin 2>/dev/null | wc -l; }
more_popups() { [[ "$(popups)" -gt "$1" ]]; }
file_selected() { selection_is "1 Item, First item: $name"; }
# The file's label is the first in the view: below Dolphin's warning when it
# runs as root, else higher up. A click that came before the folder showed
# its files, or that hit the background, is tried again.
before="$(popups)"
for _ in $(seq 10); do
  for y in 187 117; do
    run xdotool mousemove 324 "$y" click 3
    poll 2 more_popups "$before" && poll 2 file_selected && break 2
    run xdotool key --clearmodifiers Escape
    sleep 0.5
  done
done
more_popups "$before" && file_selected || fail "no menu showed for the file: $(selection)"
loaded="Kestrine's Dolphin module loaded; plug-ins load on the first menu"
grep -q "$loaded" "$work/err" || fail "Dolphin did not log that it loaded the module"
grep -q "kestrine-dolphin.so" "/proc/$pid/maps" || fail "the module is not mapped into Dolphin"
grep -q "KestrineCM.so" "/proc/$pid/maps" || fail "the plug-in is not loaded into Dolphin"

# "Kestrine" is the last item but one: its submenu opens on the first
# preview, the file's path.
for key in Up Up Right; do run xdotool key --clearmodifiers "$key"; sleep 0.3; done
poll 3 more_popups "$((before + 1))" || fail "the Kestrine submenu did not open"
sleep 0.5
if [[ -n "$SCREENSHOT" ]]; then
  run import -window root "$SCREENSHOT"
fi
run xdotool key --clearmodifiers Return
wait_for clipboard_is "$files/$name" ||
  fail "the first preview copied \"$(run xclip -selection clipboard -o 2>/dev/null)\", not the file's path"

# A right-click on the background gives the folder's menu: the folder is
# the selection.
run xdotool mousemove 600 450 click 3
wait_for selection_is "1 Item, First item: files" || fail "after a right-click on the background: $(selection)"
run xdotool key --clearmodifiers Escape

kill -0 "$pid" 2>/dev/null || fail "Dolphin did not stay up"
grep -q "Kestrine.*\(could not\|skipped\)" "$work/err" && fail "the module logged a problem"
echo "Dolphin loaded the module, showed its menu for the file, and copied its path"
