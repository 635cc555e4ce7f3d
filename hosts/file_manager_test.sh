#!/usr/bin/env bash
# A real Nautilus, Caja, Nemo or Thunar, on an X server and a D-Bus session
# of its own, with a `kestrine-finder serve` beside it: the file manager loads the
# built extension module at its start, a window opening does not replace the
# Finder's selection, a right-click on a file makes it the selection, and
# choosing "Copy Posix Path" in the "Kestrine" submenu copies its path. In
# Nautilus and Caja a plain click makes the selection too; in Nautilus a
# right-click on the background makes the folder the selection; Caja's and
# Thunar's File menus copy what is selected. With KESTRINE_SCREENSHOT set,
# the screen with the open "Kestrine" submenu is saved there as a PNG.
#
# The file managers look for modules in one fixed system folder only; the
# test shows them the module there through an overlay in a mount namespace
# of its own, so the system's folders are never changed. Everything else it
# writes is in its temporary folder. Exits 77 (skipped) when the file
# manager is not installed, or no mount namespace can be made.
set -euo pipefail
BUILD="${1:?usage: file_manager_test.sh BUILD_DIR nautilus|caja|nemo|thunar}"
FM="${2:?usage: file_manager_test.sh BUILD_DIR nautilus|caja|nemo|thunar}"
BUNDLE="$BUILD/KestrineCM.plugin"

# What differs: the pkg-config package and variable that name the extension
# folder, the command that opens a window on a folder, where the first two icons of the
# window's folder are (the window at 0,0, files sorted by name), and the keys
# that go from a file's contextual menu to "Copy Posix Path".
case "$FM" in
  nautilus)
    Name=Nautilus package=libnautilus-extension-4 open=(nautilus --new-window)
    first=(335 130) second=(488 130) menu_keys=(Up Up Right Down Return) ;;
  caja)
    Name=Caja package=libcaja-extension open=(caja --no-desktop)
    first=(236 140) second=(396 140) menu_keys=(Up Up Right Return) ;;
  nemo)
    Name=Nemo package=libnemo-extension open=(nemo)
    first=(236 150) second=(360 150) menu_keys=(Up Up Right Return) ;;
  thunar)
    # Icons shift by the height of the bar Thunar shows to root; y=140 is on
    # them either way.
    Name=Thunar package=thunarx-3 variable=extensionsdir open=(thunar)
    first=(218 140) second=(307 140) menu_keys=(Up Up Right Return) ;;
  *) echo "unknown file manager $FM"; exit 2 ;;
esac
MODULE="$BUILD/extensions/$FM/libkestrine-$FM.so"

skip() { echo "skipped: $*"; exit 77; }
command -v "$FM" >/dev/null || skip "$Name is not installed (./dev setup installs it)"
unshare -m true 2>/dev/null ||
  skip "no mount namespace can be made here (it needs root or CAP_SYS_ADMIN)"
EXTENSIONS="$(pkg-config --variable="${variable:-extensiondir}" "$package")"
# The overlay goes on the deepest folder of that path that exists; the
# module's folder is made in its upper layer, inside the temporary folder.
lower="$EXTENSIONS"
while [[ ! -d "$lower" ]]; do lower="$(dirname "$lower")"; done

source "$(dirname "$0")/../testing/x_session_support.sh"
begin_x_session

files="$work/home/files"
mkdir -p "$work/upper${EXTENSIONS#"$lower"}" "$work/overlay-work" "$files" "$work/run" \
  "$work/data/Kestrine/Contextual Menu Items"
chmod 700 "$work/run"
cp "$MODULE" "$work/upper${EXTENSIONS#"$lower"}/"
cp -r "$BUNDLE" "$work/data/Kestrine/Contextual Menu Items/"
printf 'x' >"$files/notes.txt"
printf 'y' >"$files/other.txt"
# A session bus that starts no services: no file indexer, no volume monitors.
write_bus_config "$work"
start_xvfb "$work"

# The test user's environment; `run` runs a command in it.
user_env=(env -i PATH=/usr/bin:/bin HOME="$work/home" XDG_RUNTIME_DIR="$work/run"
  XDG_DATA_HOME="$work/data" XDG_CONFIG_HOME="$work/config" XDG_CACHE_HOME="$work/cache"
  XDG_DATA_DIRS=/usr/share DISPLAY="$display" GDK_BACKEND=x11 GSETTINGS_BACKEND=memory
  NO_AT_BRIDGE=1)
run() { "${user_env[@]}" "$@"; }
fail() {
  echo "$*"
  echo "--- $Name's standard output:"; cat "$work/out"
  echo "--- $Name's standard error:"; cat "$work/err"
  exit 1
}

# Not through `run`: $! must be the Finder itself (env execs it).
"${user_env[@]}" "$BUILD/finder/kestrine-finder" serve >"$work/finder.log" 2>&1 &
finder=$!
wait_for grep -q ready "$work/finder.log" || { echo "kestrine-finder serve did not start"; exit 1; }
# The selection the user made before the file manager starts.
run "$BUILD/finder/kestrine-finder" select "$files/other.txt"
# The first line of the status menu: what the Finder holds.
selection() { run "$BUILD/KestrineMBI/KestrineMBI" --menu 2>/dev/null | grep -m1 '^# ' || true; }
selection_is() { [[ "$(selection)" == "# $1" ]]; }
clipboard_is() { [[ "$(run xclip -selection clipboard -o 2>/dev/null)" == "$1" ]]; }

# setsid: the file manager and the bus it talks to form one session, ended
# together.
run setsid unshare -m sh -c \
  'mount -t overlay overlay -o "lowerdir=$1,upperdir=$2,workdir=$3" "$1" && conf="$4" &&
   shift 4 && exec dbus-run-session --config-file="$conf" -- "$@"' \
  sh "$lower" "$work/upper" "$work/overlay-work" "$work/bus.conf" "${open[@]}" "$files" \
  >"$work/out" 2>"$work/err" &

fm_pid=""
find_fm() { fm_pid="$(pgrep -n -f "^${open[0]} .*$files\$" || true)"; [[ -n "$fm_pid" ]]; }
wait_for find_fm || fail "$Name did not start"
session="$(ps -o sid= -p "$fm_pid" | tr -d ' ')"
loaded="Kestrine's $Name module loaded; plug-ins load on the first menu"
wait_for grep -q "$loaded" "$work/err" || fail "$Name did not log that it loaded the module"
grep -q "$loaded" "$work/out" && fail "the module wrote its loaded line to standard output"
maps="/proc/$fm_pid/maps"
grep -q "libkestrine-$FM.so" "$maps" || fail "the module is not mapped into $Name"

window=""
find_window() { window="$(run xdotool search --onlyvisible --class "$FM" | head -n 1)"; [[ -n "$window" ]]; }
wait_for find_window || fail "$Name showed no window"
run xdotool windowmove --sync "$window" 0 0
# Opening the window builds the folder's background menu, which loads the
# plug-in; the Finder keeps the selection made before.
wait_for grep -q "KestrineCM.so" "$maps" || fail "no menu was built for the window's folder"
selection_is "1 Item, First item: other.txt" || fail "opening a window changed the selection: $(selection)"

popups() { run xdotool search --onlyvisible --class "$FM" 2>/dev/null | wc -l; }
more_popups() { [[ "$(popups)" -gt "$1" ]]; }
# Types `keys` (the name of an array) into the menu that `$@` (xdotool
# arguments) opens, once it shows and `check` holds.
choose() {
  local -n keys=$1
  local check=$2
  shift 2
  local before
  before="$(popups)"
  # A click that came before the window showed its files is tried again.
  for _ in $(seq 15); do
    run xdotool "$@"
    poll 2 more_popups "$before" && poll 2 $check && break
    run xdotool key --clearmodifiers Escape
    sleep 1
  done
  more_popups "$before" && $check || fail "no menu showed for the file: $(selection)"
  local last=$((${#keys[@]} - 1))
  for key in "${keys[@]:0:last}"; do run xdotool key --clearmodifiers "$key"; sleep 0.3; done
  if [[ -n "${KESTRINE_SCREENSHOT:-}" && "$shot" == "" ]]; then
    sleep 0.5
    run import -window root "$KESTRINE_SCREENSHOT"
    shot=taken
  fi
  run xdotool key --clearmodifiers "${keys[last]}"
}
shot=""

# A right-click on notes.txt makes it the Finder's selection, and its menu
# copies it.
notes_selected() { selection_is "1 Item, First item: notes.txt"; }
choose menu_keys notes_selected mousemove "${first[@]}" click 3
wait_for clipboard_is "$files/notes.txt" ||
  fail "\"Copy Posix Path\" copied \"$(run xclip -selection clipboard -o 2>/dev/null)\", not notes.txt"
# The copy replaced the clipboard; the selection stays.
notes_selected || fail "after the copy: $(selection)"

# A plain click selects in Nautilus and Caja, which build their menus on
# every selection change; Nemo and Thunar build them only for a menu.
if [[ "$FM" != nemo && "$FM" != thunar ]]; then
  run xdotool mousemove "${second[@]}" click 1
  wait_for selection_is "1 Item, First item: other.txt" || fail "after a plain click: $(selection)"
fi
if [[ "$FM" == thunar ]]; then
  run xdotool mousemove "${second[@]}" click 1
  sleep 0.5
fi
if [[ "$FM" == caja || "$FM" == thunar ]]; then
  # The File menu copies what is selected. Thunar builds it for the
  # selection when it opens; from its end: Close Window, Close Tab, Close
  # All Windows, Properties (Detach Tab cannot be chosen with one tab), then
  # "Kestrine".
  file_keys=(Up Up Up Right Return)
  [[ "$FM" == caja ]] || file_keys=(Up Up Up Up Up Right Return)
  choose file_keys true key --clearmodifiers alt+f
  wait_for clipboard_is "$files/other.txt" ||
    fail "the File menu copied \"$(run xclip -selection clipboard -o 2>/dev/null)\", not other.txt"
  wait_for selection_is "1 Item, First item: other.txt" || fail "after the File menu: $(selection)"
fi
if [[ "$FM" == nautilus ]]; then
  # A right-click on the background clears the selection made in the folder:
  # the folder is the selection.
  run xdotool mousemove 600 400 click 3
  wait_for selection_is "1 Item, First item: files" || fail "after a right-click on the background: $(selection)"
  run xdotool key --clearmodifiers Escape
fi

kill -0 "$fm_pid" 2>/dev/null || fail "$Name did not stay up"
grep -E "Kestrine-(CRITICAL|WARNING|MESSAGE)" "$work/err" && fail "$Name logged a problem"
echo "$Name loaded the module, kept the selection when its window opened, and copied what was selected"
