#!/usr/bin/env bash
# The tray application as a user meets it: an X server (Xvfb) with a window
# manager (openbox) and a real tray (trayer), the serving Finder with two
# selected files, and KestrineMBI. Clicks the icon, chooses "Copy Posix Path"
# and reads the clipboard back, opens the preferences window from the menu
# and again by a second start with --preferences, reads its title, and quits
# from the menu.
#
#   tray_e2e.sh BUILD_DIR [SCREENSHOT_DIR]
#
# With SCREENSHOT_DIR, saves there menu.png (the menu with previews and a
# preview's tool tip) and the window's three tabs: preferences-commands.png,
# preferences-output.png and preferences-prefixes.png.
set -euo pipefail
BUILD="$(cd "${1:?usage: tray_e2e.sh BUILD_DIR [SCREENSHOT_DIR]}" && pwd)"
SHOTS="${2:-}"
[[ -n "$SHOTS" ]] && SHOTS="$(mkdir -p "$SHOTS" && cd "$SHOTS" && pwd)"

if [[ -z "${KESTRINE_E2E_BUS:-}" ]]; then
  # A session bus of its own, so that no desktop service answers for the tray.
  exec env KESTRINE_E2E_BUS=1 dbus-run-session -- "$0" "$@"
fi

work="$(mktemp -d)"
pids=()
cleanup() {
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do kill "${pids[i]}" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "tray_e2e: $*" >&2; exit 1; }

mkdir -p "$work/home" "$work/run"
chmod 700 "$work/run"
export HOME="$work/home" XDG_RUNTIME_DIR="$work/run" XDG_CONFIG_HOME="$work/home/.config"
unset WAYLAND_DISPLAY QT_QPA_PLATFORM
export QT_QPA_PLATFORMTHEME=generic QT_STYLE_OVERRIDE=Fusion LANG=C.UTF-8

# A display no one else uses, even with other X tests running beside it.
source "$(dirname "$0")/../testing/x_session_support.sh"
start_xvfb "$work" 900x560
pids+=($xvfb)
export DISPLAY="$display"
xsetroot -solid '#4a6a8a' 2>/dev/null || true
openbox >/dev/null 2>&1 &
pids+=($!)

coproc FINDER { exec "$BUILD/finder/kestrine-finder" serve; }
pids+=($FINDER_PID)
read -r -t 10 ready <&"${FINDER[0]}" && [[ "$ready" == ready ]] || fail "the Finder did not start"
printf 'notes' >"$HOME/Notes.txt"
printf 'report' >"$HOME/Q3 Report & Plan.pdf"
"$BUILD/finder/kestrine-finder" select "$HOME/Q3 Report & Plan.pdf" "$HOME/Notes.txt"
# Menu titles show the very texts they copy, and one prefix adds its pair.
mkdir -p "$XDG_CONFIG_HOME"
cat >"$XDG_CONFIG_HOME/com.corvane.KestrineCM.plist" <<'PLIST'
<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0"><dict>
<key>ShowClipboardInMenu</key><true/>
<key>Prefixes</key><array><string>https://files.example.com</string></array>
</dict></plist>
PLIST

# Started before the tray, as at a login where the panel comes up late: it
# says so once and shows its icon when the tray appears.
"$BUILD/KestrineMBI/KestrineMBI" >"$work/mbi.out" 2>"$work/mbi.err" &
mbi=$!
pids+=($mbi)
for _ in $(seq 100); do [[ -s "$work/mbi.err" ]] && break; sleep 0.1; done
grep -qxF 'KestrineMBI: the desktop has no system tray; the icon appears when one starts (on GNOME, install gnome-shell-extension-appindicator and enable it); until then, "KestrineMBI --choose ID" copies without it' "$work/mbi.err" ||
  fail "no word of the missing tray: $(cat "$work/mbi.err")"

trayer --edge top --align right --widthtype request --height 28 --SetDockType true \
  --transparent false --tint 0xe8e8e8 --expand true >/dev/null 2>&1 &
pids+=($!)
panel=""
for _ in $(seq 50); do panel="$(xdotool search --name '^panel$' 2>/dev/null | head -n 1 || true)"; [[ -n "$panel" ]] && break; sleep 0.1; done
[[ -n "$panel" ]] || fail "trayer did not start"

# The icon is docked once a window of the application is visible.
icon=""
for _ in $(seq 100); do
  icon="$(xdotool search --onlyvisible --classname KestrineMBI 2>/dev/null | head -n 1 || true)"
  [[ -n "$icon" ]] && break
  sleep 0.1
done
[[ -n "$icon" ]] || { cat "$work/mbi.err" >&2; fail "no icon in the tray"; }
sleep 0.5
eval "$(xdotool getwindowgeometry --shell "$icon")"
visible_windows() { xdotool search --onlyvisible --classname KestrineMBI 2>/dev/null | wc -l; }
# Clicks the icon and waits until the menu's window shows, so that the keys
# sent next reach the menu however busy the machine is.
click_icon() {
  local before
  before="$(visible_windows)"
  xdotool mousemove $((X + WIDTH / 2)) $((Y + HEIGHT / 2)) click 1
  for _ in $(seq 100); do (($(visible_windows) > before)) && break; sleep 0.1; done
  (($(visible_windows) > before)) || fail "the menu did not open"
  sleep 0.3
}

# Left click: the menu opens, built for the selection of this moment.
click_icon
if [[ -n "$SHOTS" ]]; then
  # A preview's tool tip names its form.
  xdotool mousemove_relative -- -60 42
  sleep 1.5
  # The screen's top right corner, where the tray and the menu are.
  "$BUILD/KestrineMBI/screenshot" "$SHOTS/menu.png" 300 0 600 420
  xdotool key Escape
  sleep 0.3
  click_icon
fi
# The header line is disabled: the first Down reaches the POSIX path.
xdotool key Down Return
sleep 0.5
expected="$HOME/Q3 Report & Plan.pdf"$'\n'"$HOME/Notes.txt"
got=""
for _ in $(seq 30); do got="$(xclip -o -selection clipboard 2>/dev/null || true)"; [[ "$got" == "$expected" ]] && break; sleep 0.1; done
[[ "$got" == "$expected" ]] || fail "clipboard holds '$got', expected '$expected'"

# "Preferences..." is the item above "Quit".
click_icon
xdotool key Up Up Return
find_window() {
  window=""
  for _ in $(seq 50); do window="$(xdotool search --onlyvisible --name '^Kestrine Preferences$' 2>/dev/null | head -n 1 || true)"; [[ -n "$window" ]] && break; sleep 0.1; done
}
find_window
[[ -n "$window" ]] || fail "the preferences window did not open"
# One title, as the window manager shows it.
title="$(xprop -id "$window" _NET_WM_NAME)"
[[ "$title" == '_NET_WM_NAME(UTF8_STRING) = "Kestrine Preferences"' ]] || fail "window title: $title"
# Closed as a user closes it: the window manager's Alt+F4.
xdotool windowactivate --sync "$window" key alt+F4
for _ in $(seq 50); do xdotool search --onlyvisible --name '^Kestrine Preferences$' >/dev/null 2>&1 || break; sleep 0.1; done

# A second start with --preferences shows the running one's window.
second="$("$BUILD/KestrineMBI/KestrineMBI" --preferences)"
[[ "$second" == "KestrineMBI is already running (process $mbi); its preferences window is shown" ]] ||
  fail "second start said: $second"
find_window
[[ -n "$window" ]] || fail "the second start did not show the preferences window"
xdotool windowmove "$window" 120 60
sleep 0.8
if [[ -n "$SHOTS" ]]; then
  # The window with its frame, one picture per tab.
  geometry="$(xwininfo -id "$window")"
  x="$(sed -n 's/.*Absolute upper-left X: *//p' <<<"$geometry")"
  y="$(sed -n 's/.*Absolute upper-left Y: *//p' <<<"$geometry")"
  w="$(sed -n 's/.*Width: *//p' <<<"$geometry")"
  h="$(sed -n 's/.*Height: *//p' <<<"$geometry")"
  read -r left right top bottom < <(xprop -id "$window" _NET_FRAME_EXTENTS | sed 's/.*= //; s/,//g')
  for tab in commands output prefixes; do
    "$BUILD/KestrineMBI/screenshot" "$SHOTS/preferences-$tab.png" $((x - left)) $((y - top)) \
      $((w + left + right)) $((h + top + bottom))
    xdotool key --window "$window" ctrl+Tab
    sleep 0.5
  done
fi

# "Quit" ends the application.
click_icon
xdotool key Up Return
for _ in $(seq 50); do kill -0 "$mbi" 2>/dev/null || break; sleep 0.1; done
kill -0 "$mbi" 2>/dev/null && fail "Quit did not end the application"
[[ "$(grep -c . "$work/mbi.err")" == 1 ]] || fail "more than one line on standard error: $(cat "$work/mbi.err")"
echo "tray end-to-end: menu, copy, preferences and quit work"
