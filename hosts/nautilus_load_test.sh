#!/usr/bin/env bash
# A real Nautilus, on an X server and a D-Bus session of its own, loads the
# built extension module at its start, stays up, and loads the plug-in
# bundle only when it first asks the module for the items of a selection.
#
# Nautilus looks for modules in one fixed folder only; the test shows it the
# module there through a bind mount in a mount namespace of its own, so the
# system's folder is never changed. Exits 77 (skipped) when something it
# needs is missing, saying what.
set -euo pipefail
BUILD="${1:?usage: nautilus_load_test.sh BUILD_DIR}"
MODULE="$BUILD/extensions/nautilus/libkestrine-nautilus.so"
BUNDLE="$BUILD/KestrineCM.plugin"

skip() { echo "skipped: $*"; exit 77; }
for tool in nautilus Xvfb dbus-run-session unshare xdotool setsid; do
  command -v "$tool" >/dev/null || skip "$tool is not installed (./dev setup installs it)"
done
EXTENSIONS="$(pkg-config --variable=extensiondir libnautilus-extension-4)"
unshare -m true 2>/dev/null ||
  skip "no mount namespace can be made here (it needs root or CAP_SYS_ADMIN)"
# Debian's Nautilus ships no module of its own, so the folder exists only
# while some package has put a module there; the namespace below needs it as
# a mount point. Made here (as root), it is removed again at the end.
made_extensions=""
if [[ ! -d "$EXTENSIONS" ]]; then
  [[ $(id -u) -eq 0 ]] || skip "Nautilus's extension folder $EXTENSIONS is missing"
  mkdir "$EXTENSIONS" && made_extensions="$EXTENSIONS"
fi

work="$(mktemp -d)"
xvfb=""
session=""
cleanup() {
  [[ -n "$session" ]] && pkill -TERM -s "$session" 2>/dev/null || true
  [[ -n "$xvfb" ]] && kill "$xvfb" 2>/dev/null || true
  sleep 0.5
  [[ -n "$session" ]] && pkill -KILL -s "$session" 2>/dev/null || true
  rm -rf "$work"
  [[ -n "$made_extensions" ]] && rmdir "$made_extensions" 2>/dev/null || true
}
trap cleanup EXIT

mkdir -p "$work/extensions" "$work/home/files" "$work/run" "$work/data/Kestrine/Contextual Menu Items"
chmod 700 "$work/run"
cp "$MODULE" "$work/extensions/"
cp -r "$BUNDLE" "$work/data/Kestrine/Contextual Menu Items/"
printf 'x' >"$work/home/files/notes.txt"
# A session bus that starts no services: no file indexer, no volume monitors.
cat >"$work/bus.conf" <<EOF
<busconfig>
  <type>session</type>
  <listen>unix:tmpdir=$work</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
EOF

Xvfb -displayfd 3 -nolisten tcp -screen 0 1280x800x24 3>"$work/display" >/dev/null 2>&1 &
xvfb=$!
for _ in $(seq 50); do [[ -s "$work/display" ]] && break; sleep 0.1; done
[[ -s "$work/display" ]] || { echo "Xvfb did not start"; exit 1; }
display=":$(cat "$work/display")"

run() {
  env -i PATH=/usr/bin:/bin HOME="$work/home" XDG_RUNTIME_DIR="$work/run" \
    XDG_DATA_HOME="$work/data" XDG_CONFIG_HOME="$work/config" XDG_DATA_DIRS=/usr/share \
    DISPLAY="$display" GDK_BACKEND=x11 GSETTINGS_BACKEND=memory NO_AT_BRIDGE=1 \
    G_MESSAGES_DEBUG=Kestrine "$@"
}
# setsid: Nautilus and the bus it talks to form one session, ended together.
run setsid unshare -m sh -c \
  'mount --bind "$1" "$2" && exec dbus-run-session --config-file="$3" -- nautilus --new-window "$4"' \
  sh "$work/extensions" "$EXTENSIONS" "$work/bus.conf" "$work/home/files" >"$work/log" 2>&1 &

nautilus_pid=""
for _ in $(seq 300); do
  nautilus_pid="$(pgrep -n -f "^nautilus --new-window $work/home/files\$" || true)"
  [[ -n "$nautilus_pid" ]] && session="$(ps -o sid= -p "$nautilus_pid" | tr -d ' ')"
  [[ -n "$nautilus_pid" ]] && grep -q "Nautilus module loaded" "$work/log" && break
  sleep 0.1
done
fail() { echo "$*"; echo "--- Nautilus's log:"; cat "$work/log"; exit 1; }
grep -q "Kestrine-DEBUG.*Nautilus module loaded; plug-ins load on the first menu" "$work/log" ||
  fail "Nautilus did not log that it loaded the module"
maps="/proc/$nautilus_pid/maps"
grep -q "libkestrine-nautilus.so" "$maps" || fail "the module is not mapped into Nautilus"
grep -q "KestrineCM.so" "$maps" && fail "the plug-in was loaded before any menu"

# Select everything in the window: Nautilus asks its menu providers for the
# selection's items, and the module loads the plug-in.
window="$(run xdotool search --sync --onlyvisible --class nautilus | head -n 1)"
run xdotool windowfocus --sync "$window" key --clearmodifiers ctrl+a
for _ in $(seq 300); do grep -q "KestrineCM.so" "$maps" && break; sleep 0.1; done
grep -q "KestrineCM.so" "$maps" || fail "the plug-in was not loaded for the selection's menu"
# Open the contextual menu, with Kestrine's items in it, and close it again.
run xdotool key --clearmodifiers shift+F10
sleep 1
run xdotool key --clearmodifiers Escape
sleep 1
kill -0 "$nautilus_pid" 2>/dev/null || fail "Nautilus did not stay up"
grep -E "CRITICAL|Kestrine-(WARNING|MESSAGE)" "$work/log" && fail "Nautilus logged a problem"
echo "Nautilus loaded the module, loaded the plug-in for its menu, showed the menu and stayed up"
