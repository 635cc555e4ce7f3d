#!/usr/bin/env bash
# Installs the build into a temporary root, and nothing outside it, and uses
# the installed programs as a user would: kestrine-finder finds the bundle in the
# system folder, the plug-in finds the shared library, and a command reaches
# the clipboard.
set -euo pipefail
BUILD="${1:?usage: install_test.sh BUILD_DIR}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
# To the configured prefix, as a package is made, through DESTDIR: the
# file-manager modules and autostart entries, which go to system folders,
# land inside the temporary folder too.
source "$(dirname "$0")/../testing/install_support.sh"
DESTDIR="$work/root" install_inside "$work" "$BUILD"
ln -s "$work/root$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "$BUILD/CMakeCache.txt")" "$work/prefix"
# Dolphin's module goes to Qt 5's plug-in folder below the prefix.
qt5_plugins="$work/prefix/$(sed -n 's/^KESTRINE_QT5_PLUGIN_DIR:STRING=//p' "$BUILD/CMakeCache.txt")"
[[ -f "$qt5_plugins/kf5/kfileitemaction/kestrine-dolphin.so" ]] ||
  { echo "no Dolphin module installed in $qt5_plugins/kf5/kfileitemaction"; exit 1; }
for module in libnautilus-extension-4:extensiondir libcaja-extension:extensiondir \
              libnemo-extension:extensiondir thunarx-3:extensionsdir; do
  folder="$work/root$(pkg-config --variable="${module#*:}" "${module%%:*}")"
  ls "$folder"/libkestrine-*.so >/dev/null 2>&1 || { echo "no module installed in $folder"; exit 1; }
done
mkdir -p "$work/home" "$work/run"
chmod 700 "$work/run"
printf 'x' >"$work/home/notes.txt"
run() {
  env -i PATH=/usr/bin:/bin HOME="$work/home" XDG_RUNTIME_DIR="$work/run" \
    XDG_DATA_DIRS="$work/prefix/share" "$@"
}
menu="$(run "$work/prefix/bin/kestrine-finder" menu "$work/home/notes.txt")"
expected_head=$'-\nKestrine >\n  [1] Copy Posix Path'
if [[ "$menu" != "$expected_head"* ]]; then
  echo "unexpected menu from the installed bundle:"; echo "$menu"; exit 1
fi
run "$work/prefix/bin/kestrine-finder" choose 5 "$work/home/notes.txt"
[[ "$(cat "$work/run/kestrine/clipboard")" == "notes.txt" ]] || { echo "kestrine-finder choose copied the wrong text"; exit 1; }
run "$work/prefix/bin/KestrineService" "Copy Tilde Posix Path" "$work/home/notes.txt" 2>/dev/null
[[ "$(cat "$work/run/kestrine/clipboard")" == "~/notes.txt" ]] || { echo "KestrineService copied the wrong text"; exit 1; }
echo "installed programs and bundle work"
