#!/usr/bin/env bash
# Installs the build into a temporary prefix inside a temporary home folder,
# below a DESTDIR in the temporary folder and nothing outside it, and checks what a login needs: the tray program and
# the Finder, the icon, the help page, the application entry and both
# autostart entries, whose commands run from the installed programs.
set -euo pipefail
BUILD="${1:?usage: install_test.sh BUILD_DIR}"
work="$(mktemp -d)"
finder_pid=""
trap '[[ -n "$finder_pid" ]] && kill "$finder_pid" 2>/dev/null; rm -rf "$work"' EXIT
mkdir -p "$work/home" "$work/run"
chmod 700 "$work/run"
prefix="$work/home/.local"
source "$(dirname "$0")/../testing/install_support.sh"
# A prefix other than the configured one: the file managers' modules, whose
# run path names the configured prefix, stay inside it.
HOME="$work/home" XDG_CONFIG_HOME= install_inside "$work" "$BUILD" --prefix "$prefix"
# The installed programs find everything relative to their own folder.
root="$work/root"
for module in libnautilus-extension-4:extensiondir libcaja-extension:extensiondir \
              libnemo-extension:extensiondir thunarx-3:extensionsdir; do
  pkg="${module%%:*}"
  folder="$(pkg-config --variable="${module#*:}" "$pkg")"
  folder="$root$prefix/${folder#"$(pkg-config --variable=prefix "$pkg")"/}"
  ls "$folder"/libkestrine-*.so >/dev/null 2>&1 || { echo "no module installed in $folder"; exit 1; }
done
for f in bin/KestrineMBI bin/kestrine-finder share/icons/hicolor/64x64/apps/KestrineMBI.png \
         share/icons/hicolor/scalable/apps/KestrineMBI.svg share/doc/Kestrine/help/index.html \
         share/applications/KestrineMBI.desktop; do
  [[ -e "$root$prefix/$f" ]] || { echo "missing $f"; exit 1; }
done
autostart="$root$work/home/.config/autostart"
grep -qx "Exec=\"$prefix/bin/KestrineMBI\"" "$autostart/KestrineMBI.desktop" || { echo "bad KestrineMBI autostart entry"; exit 1; }
grep -qx "Exec=\"$prefix/bin/kestrine-finder\" serve" "$autostart/KestrineFinder.desktop" || { echo "bad Finder autostart entry"; exit 1; }
grep -qx "Exec=\"$prefix/bin/KestrineMBI\" --preferences" "$root$prefix/share/applications/KestrineMBI.desktop" ||
  { echo "bad KestrineMBI application entry"; exit 1; }

run() { env -i PATH=/usr/bin:/bin HOME="$work/home" XDG_RUNTIME_DIR="$work/run" "$@"; }
printf 'x' >"$work/home/Notes"
# Started directly, not through the function, so that $! is the Finder.
env -i PATH=/usr/bin:/bin HOME="$work/home" XDG_RUNTIME_DIR="$work/run" "$root$prefix/bin/kestrine-finder" serve \
  >"$work/finder.out" &
finder_pid=$!
for _ in $(seq 50); do [[ -s "$work/finder.out" ]] && break; sleep 0.1; done
run "$root$prefix/bin/kestrine-finder" select "$work/home/Notes"
menu="$(run "$root$prefix/bin/KestrineMBI" --menu | tail -n +3)"
[[ "$menu" == "# 1 Item, First item: Notes"$'\n'"[1] Copy Posix Path"* ]] || { echo "unexpected menu:"; echo "$menu"; exit 1; }
run "$root$prefix/bin/KestrineMBI" --choose 2 >/dev/null
[[ "$(cat "$work/run/kestrine/clipboard")" == "~/Notes" ]] || { echo "--choose copied the wrong text"; exit 1; }
echo "installed tray application, Finder and their entries work"
