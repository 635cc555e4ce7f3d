#!/usr/bin/env bash
# The keyboard-shortcut commands the README gives for GNOME, KDE and Xfce,
# run as written in a home folder and on a session bus of their own; each
# desktop's own reader then finds the shortcut. (sway's bindsym is tried in
# waybar_e2e.sh, in a running sway.)
#
#   shortcuts_test.sh
set -euo pipefail
if [[ -z "${KESTRINE_E2E_BUS:-}" ]]; then
  exec env KESTRINE_E2E_BUS=1 dbus-run-session -- "$0" "$@"
fi
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
export HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config" XDG_DATA_HOME="$work/home/.local/share"
mkdir -p "$HOME"
fail() { echo "shortcuts_test: $*" >&2; exit 1; }
expect() {  # WHAT GOT WANTED
  [[ "$2" == "$3" ]] || fail "$1: got '$2', expected '$3'"
}

# GNOME, through the keyfile store instead of dconf, which needs no daemon.
export GSETTINGS_BACKEND=keyfile
# --- GNOME (as in the README) ---
path=/org/gnome/settings-daemon/plugins/media-keys/custom-keybindings/kestrine-copy-path/
key=org.gnome.settings-daemon.plugins.media-keys.custom-keybinding:$path
gsettings set org.gnome.settings-daemon.plugins.media-keys custom-keybindings "['$path']"
gsettings set "$key" name 'Copy Posix Path'
gsettings set "$key" command 'KestrineMBI --choose 1'
gsettings set "$key" binding '<Super><Shift>c'
# ---
expect "GNOME's list" "$(gsettings get org.gnome.settings-daemon.plugins.media-keys custom-keybindings)" "['$path']"
expect "GNOME's command" "$(gsettings get "$key" command)" "'KestrineMBI --choose 1'"
expect "GNOME's key" "$(gsettings get "$key" binding)" "'<Super><Shift>c'"

# --- KDE Plasma (as in the README) ---
mkdir -p ~/.local/share/applications
cat >~/.local/share/applications/net.local.kestrine-copy-path.desktop <<'EOF'
[Desktop Entry]
Type=Application
Name=Copy Posix Path
Exec=KestrineMBI --choose 1
NoDisplay=true
X-KDE-GlobalAccel-CommandShortcut=true
EOF
kwriteconfig5 --file kglobalshortcutsrc --group services --group net.local.kestrine-copy-path.desktop \
  --key _launch 'Meta+Shift+C'
# ---
expect "KDE's key" "$(kreadconfig5 --file kglobalshortcutsrc --group services \
  --group net.local.kestrine-copy-path.desktop --key _launch)" "Meta+Shift+C"
grep -qx '\[services\]\[net.local.kestrine-copy-path.desktop\]' "$XDG_CONFIG_HOME/kglobalshortcutsrc" ||
  fail "KDE's file: $(cat "$XDG_CONFIG_HOME/kglobalshortcutsrc")"

# --- Xfce (as in the README) ---
xfconf-query -c xfce4-keyboard-shortcuts -p '/commands/custom/<Super><Shift>c' -n -t string \
  -s 'KestrineMBI --choose 1'
# ---
expect "Xfce's command" "$(xfconf-query -c xfce4-keyboard-shortcuts -p '/commands/custom/<Super><Shift>c')" \
  "KestrineMBI --choose 1"
echo "shortcuts: GNOME, KDE and Xfce hold the --choose shortcut"
