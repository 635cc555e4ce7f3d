#!/usr/bin/env bash
# The tray application on Wayland as a user meets it: a headless sway run by
# an unprivileged user, waybar as the panel (its tray is the watcher and the
# host), the serving Finder and KestrineMBI started before the panel.
# Checks that the icon registers once the panel comes, that activating it
# opens no window, that the panel's menu request lists the selected name
# literally, that a sway key binding's --choose copies, and that the
# preferences window floats as a dialog.
#
#   waybar_e2e.sh BUILD_DIR [SCREENSHOT_DIR]
#
# With SCREENSHOT_DIR, saves there waybar.png: the panel with the icon and
# the floating preferences window.
set -euo pipefail
BUILD="$(cd "${1:?usage: waybar_e2e.sh BUILD_DIR [SCREENSHOT_DIR]}" && pwd)"
SHOTS="${2:-}"
fail() { echo "waybar_e2e: $*" >&2; exit 1; }

if [[ -z "${KESTRINE_E2E_WORK:-}" ]]; then
  work="$(mktemp -d)"
  trap 'rm -rf "$work"' EXIT
  chmod 755 "$work"
  as_user=()
  if [[ "$(id -u)" == 0 ]]; then
    # The compositor runs as the user a desktop has, not as root.
    chown nobody:nogroup "$work"
    as_user=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
  fi
  status=0
  "${as_user[@]}" env KESTRINE_E2E_WORK="$work" dbus-run-session -- "$0" "$BUILD" || status=$?
  if [[ -n "$SHOTS" && -f "$work/waybar.png" ]]; then
    mkdir -p "$SHOTS" && cp "$work/waybar.png" "$SHOTS/"
  fi
  exit "$status"
fi

work="$KESTRINE_E2E_WORK"
pids=()
cleanup() {
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do kill "${pids[i]}" 2>/dev/null || true; done
  wait 2>/dev/null || true
}
trap cleanup EXIT
mkdir -p "$work/home" "$work/run" "$work/home/.config"
chmod 700 "$work/run"
export HOME="$work/home" XDG_RUNTIME_DIR="$work/run" XDG_CONFIG_HOME="$work/home/.config" LANG=C.UTF-8
unset DISPLAY WAYLAND_DISPLAY QT_QPA_PLATFORMTHEME
export QT_QPA_PLATFORM=wayland QT_STYLE_OVERRIDE=Fusion

cat >"$work/sway.conf" <<CONF
output HEADLESS-1 resolution 900x620 background #4a6a8a solid_color
default_border normal
bindsym Mod4+Shift+c exec $BUILD/KestrineMBI/KestrineMBI --choose 1
CONF
WLR_BACKENDS=headless WLR_LIBINPUT_NO_DEVICES=1 WLR_RENDERER=pixman sway -c "$work/sway.conf" \
  >"$work/sway.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do
  socket="$(cd "$XDG_RUNTIME_DIR" && ls wayland-? 2>/dev/null | head -n 1 || true)"
  [[ -n "$socket" ]] && break
  sleep 0.1
done
[[ -n "$socket" ]] || fail "sway did not start: $(cat "$work/sway.log")"
export WAYLAND_DISPLAY="$socket" SWAYSOCK
SWAYSOCK="$(ls "$XDG_RUNTIME_DIR"/sway-ipc.*.sock 2>/dev/null | head -n 1)"
for _ in $(seq 50); do [[ -n "$SWAYSOCK" ]] && break; sleep 0.1; SWAYSOCK="$(ls "$XDG_RUNTIME_DIR"/sway-ipc.*.sock 2>/dev/null | head -n 1)"; done

coproc FINDER { exec "$BUILD/finder/kestrine-finder" serve; }
pids+=($FINDER_PID)
read -r -t 10 ready <&"${FINDER[0]}" && [[ "$ready" == ready ]] || fail "the Finder did not start"
name="Q3 Report & Plan_v2.txt"
printf 'plan' >"$HOME/$name"
"$BUILD/finder/kestrine-finder" select "$HOME/$name"

# Started before the panel, as at a login where the panel comes up late.
"$BUILD/KestrineMBI/KestrineMBI" >"$work/mbi.out" 2>"$work/mbi.err" &
mbi=$!
pids+=($mbi)
for _ in $(seq 100); do [[ -s "$work/mbi.err" ]] && break; sleep 0.1; done
grep -q "no system tray" "$work/mbi.err" || fail "no word of the missing tray: $(cat "$work/mbi.err")"

cat >"$work/waybar.json" <<'JSON'
{"layer": "top", "position": "top", "height": 30, "modules-left": ["sway/workspaces"],
 "modules-right": ["tray", "clock"], "tray": {"icon-size": 20, "spacing": 8}, "clock": {"format": "{:%H:%M}"}}
JSON
printf '* { font-family: sans-serif; font-size: 13px; }\nwindow#waybar { background: #e8e8e8; color: #222; }\n' \
  >"$work/waybar.css"
waybar -c "$work/waybar.json" -s "$work/waybar.css" >"$work/waybar.log" 2>&1 &
pids+=($!)

service="org.kde.StatusNotifierItem-$mbi-1"
registered=""
for _ in $(seq 100); do
  registered="$(gdbus call --session --dest org.kde.StatusNotifierWatcher --object-path /StatusNotifierWatcher \
    --method org.freedesktop.DBus.Properties.Get org.kde.StatusNotifierWatcher RegisteredStatusNotifierItems \
    2>/dev/null || true)"
  [[ "$registered" == *"$service"* ]] && break
  sleep 0.1
done
[[ "$registered" == *"$service"* ]] || fail "the icon did not register with waybar: $registered $(cat "$work/waybar.log")"
sleep 1

windows() { swaymsg -t get_tree | grep -c '"app_id": "KestrineMBI"' || true; }
# Activating the icon leaves the menu to the panel: no window opens.
gdbus call --session --dest "$service" --object-path /StatusNotifierItem \
  --method org.kde.StatusNotifierItem.Activate 850 10 >/dev/null
sleep 1
[[ "$(windows)" == 0 ]] || fail "activating the icon opened a window"

# The panel's menu request gets the selected name literally, "_" doubled
# for the panel's mnemonics.
"$BUILD/KestrineMBI/sni_panel" menu "$service" >"$work/menu.txt"
grep -qxF "[1] (disabled) "$'\u2066'"1 Item, First item: Q3 Report & Plan__v2.txt"$'\u2069' "$work/menu.txt" ||
  fail "the panel's menu: $(cat "$work/menu.txt")"

# The keyboard shortcut: sway holds the binding, and its command, run by
# sway, copies the selection to the Wayland clipboard.
binding="$(swaymsg -t get_binding_modes >/dev/null && swaymsg -t get_config | grep -c 'bindsym Mod4+Shift+c exec' || true)"
[[ "$binding" == 1 ]] || fail "sway has no binding for the shortcut"
swaymsg "exec $BUILD/KestrineMBI/KestrineMBI --choose 1" >/dev/null
copied=""
for _ in $(seq 50); do copied="$(wl-paste --no-newline 2>/dev/null || true)"; [[ "$copied" == "$HOME/$name" ]] && break; sleep 0.1; done
[[ "$copied" == "$HOME/$name" ]] || fail "the shortcut's command copied '$copied'"

# The preferences window, asked for by a second start, floats as a dialog.
second="$("$BUILD/KestrineMBI/KestrineMBI" --preferences)"
[[ "$second" == "KestrineMBI is already running (process $mbi); its preferences window is shown" ]] ||
  fail "second start said: $second"
for _ in $(seq 50); do [[ "$(windows)" == 1 ]] && break; sleep 0.1; done
[[ "$(windows)" == 1 ]] || fail "the preferences window did not open"
floating="$(swaymsg -t get_tree | python3 -c '
import json, sys
def floating(node):
    return any(n.get("app_id") == "KestrineMBI" for n in node.get("floating_nodes", [])) or \
        any(floating(n) for n in node.get("nodes", []))
print(floating(json.load(sys.stdin)))')"
[[ "$floating" == True ]] || fail "the preferences window is tiled, not a floating dialog"
sleep 0.5
grim "$work/waybar.png"
echo "waybar end-to-end: the icon registers late, activation opens no window, the preferences window floats"
