#!/usr/bin/env bash
# Builds the Debian package of a build folder and uses it as a user would:
# installs it with apt-get, runs the installed programs on real files,
# upgrades it in place and checks that the user's files are untouched, then
# removes it and checks that nothing it installed is left.
#
# apt-get runs as root inside a mount namespace of the test's own, whose
# system folders (/etc, /var and those the package fills) are overlays on a
# scratch file system: the install is real to every program the test runs,
# and the machine's folders and package database are never written. Without
# root, without namespaces, or with a kestrine installed by the machine's
# owner, the package is unpacked into a temporary root instead.
#
#   package_test.sh BUILD_DIR [--sanitized]
#
# Exit status 77 (skipped) for a sanitizer build, which is never packaged.
set -euo pipefail
BUILD="${1:?usage: package_test.sh BUILD_DIR [--sanitized]}"
if [[ "${2:-}" == --sanitized ]]; then
  echo "skipped: sanitizer builds are not packaged"
  exit 77
fi
# As root, the script runs again in a mount namespace of its own: `unshare`
# makes it and runs the script as the same process, which knows by its id
# and namespace that it is there (a value inherited from the environment
# names another process).
namespace="$$ $(readlink /proc/self/ns/mnt 2>/dev/null || true)"
if [[ "${KESTRINE_PACKAGE_TEST_NAMESPACE:-}" != "$$ "* && $(id -u) -eq 0 ]] &&
   unshare --mount true 2>/dev/null; then
  KESTRINE_PACKAGE_TEST_NAMESPACE="$namespace" exec unshare --mount --propagation private -- "$0" "$@"
fi
own_namespace=0
if [[ "${KESTRINE_PACKAGE_TEST_NAMESPACE:-}" == "$$ mnt:"* && "$namespace" == "$$ mnt:"* &&
      "$KESTRINE_PACKAGE_TEST_NAMESPACE" != "$namespace" ]]; then
  own_namespace=1
fi

work="$(mktemp -d)"
serve_pid=""
overlaid=()
cleanup() {
  [[ -z "$serve_pid" ]] || kill "$serve_pid" 2>/dev/null || true
  # The overlays would go with the namespace anyway.
  local folder
  for folder in "${overlaid[@]}" "$work/layers"; do umount -l "$folder" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAILED: $*"; exit 1; }

# The package, and a later version of it for the upgrade.
(cd "$BUILD" && cpack -G DEB -B "$work/cpack" >/dev/null) || fail "cpack failed"
deb="$(find "$work/cpack" -maxdepth 1 -name 'kestrine_*_amd64.deb')"
[[ -f "$deb" ]] || fail "no kestrine_<version>_amd64.deb was made"
version="$(dpkg-deb -f "$deb" Version)"
[[ "$(basename "$deb")" == "kestrine_${version}_amd64.deb" ]] || fail "package file name $(basename "$deb")"
dpkg-deb -R "$deb" "$work/next"
sed -i "s/^Version: .*/Version: ${version}+1/" "$work/next/DEBIAN/control"
deb_next="$work/kestrine_${version}+1_amd64.deb"
dpkg-deb --root-owner-group -b "$work/next" "$deb_next" >/dev/null

dpkg-deb -f "$deb" Depends | grep -q 'libplist' || fail "Depends lacks the libraries: $(dpkg-deb -f "$deb" Depends)"
[[ "$(dpkg-deb -f "$deb" Recommends)" == "wl-clipboard | xclip | xsel, qt6-wayland" ]] || fail "Recommends: $(dpkg-deb -f "$deb" Recommends)"
# Every path the package holds, without the leading ".".
dpkg-deb -c "$deb" | sed -E 's/^([^ ]+ +){5}\.//; s|/$||' | grep -v '^$' >"$work/contents"
prefix="$(sed -n 's|/bin/KestrineService$||p' "$work/contents")"
[[ -n "$prefix" ]] || fail "the package holds no bin/KestrineService"
for path in "$prefix/lib/kestrine/libkestrine_platform_files.so" \
            "$prefix/share/Kestrine/Contextual Menu Items/KestrineCM.plugin/Contents/Linux/KestrineCM.so" \
            "$prefix/share/doc/kestrine/copyright" "$prefix/share/man/man1/KestrineService.1.gz" \
            "$prefix/share/man/man1/finder.1.gz" "$prefix/share/man/man1/KestrineMBI.1.gz" \
            "$(pkg-config --variable=extensiondir libnautilus-extension-4)/libkestrine-nautilus.so" \
            "$(pkg-config --variable=extensiondir libcaja-extension)/libkestrine-caja.so" \
            "$(pkg-config --variable=extensiondir libnemo-extension)/libkestrine-nemo.so"; do
  grep -qxF "$path" "$work/contents" || fail "the package lacks $path"
done

# Overlays each system folder the package or apt-get writes to, in this
# namespace; fails when one cannot be made (the caller then unpacks).
overlay_system_folders() {
  local folder layer
  mkdir "$work/layers"
  mount -t tmpfs kestrine-package-test "$work/layers" || return 1
  for folder in /etc /var $(sed -E 's|^(/[^/]+).*|\1|' "$work/contents" | sort -u); do
    [[ -d "$work/layers$folder" ]] && continue
    [[ -d "$folder" && ! -L "$folder" ]] || return 1
    layer="$work/layers$folder"
    mkdir -p "$layer/upper" "$layer/work"
    mount -t overlay overlay -o "lowerdir=$folder,upperdir=$layer/upper,workdir=$layer/work" "$folder" ||
      return 1
    overlaid+=("$folder")
  done
}

mode=unpack
root="$work/root"
if ((own_namespace)) && ! dpkg-query -W -f='${Status}' kestrine 2>/dev/null | grep -q "ok installed"; then
  if overlay_system_folders; then
    mode=apt
    root=""
  else
    echo "the system folders cannot be overlaid here: the package is unpacked"
  fi
fi
echo "package: $(basename "$deb"), prefix $prefix, $mode"

# Which of the package's folders exist before it is installed.
while IFS= read -r path; do
  [[ -d "$root$path" ]] && echo "$path"
done <"$work/contents" >"$work/existing-before"

install_package() {  # deb
  if [[ $mode == apt ]]; then
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
      -o DPkg::Lock::Timeout=300 "$1" >"$work/apt.log" 2>&1 || { cat "$work/apt.log"; fail "apt-get install $1"; }
  else
    dpkg-deb -x "$1" "$root"
  fi
}
install_package "$deb"
[[ $mode == unpack ]] || [[ "$(dpkg-query -W -f='${Version}' kestrine)" == "$version" ]] || fail "installed version"

bin="$root$prefix/bin"
bundle="$root$prefix/share/Kestrine/Contextual Menu Items/KestrineCM.plugin"
mkdir -p "$work/home" "$work/run"
chmod 700 "$work/run"
file="$work/home/My Notes.txt"
printf 'x' >"$file"
# A user's session without a display: the clipboard is a file.
# Dolphin and Thunar stand in as installed file managers: KestrineService
# writes entries only for those on PATH.
mkdir -p "$work/file-managers"
for program in dolphin thunar; do printf '#!/bin/sh\n' >"$work/file-managers/$program"; done
chmod +x "$work/file-managers"/*
session=(PATH="$bin:/usr/bin:/bin:$work/file-managers" HOME="$work/home" XDG_RUNTIME_DIR="$work/run"
         XDG_CONFIG_DIRS="$work/xdg" QT_QPA_PLATFORM=offscreen)
[[ $mode == apt ]] || session+=(XDG_DATA_DIRS="$root$prefix/share")
run() { env -i "${session[@]}" "$@"; }
clipboard() { cat "$work/run/kestrine/clipboard"; }

# Each installed program and plug-in finds every library it needs.
if [[ $mode == apt ]]; then
  while IFS= read -r path; do
    [[ -f "$path" && "$(head -c 4 "$path" | od -An -c | tr -d ' ')" == '177ELF' ]] || continue
    ! ldd "$path" | grep 'not found' || fail "$path misses libraries"
  done <"$work/contents"
fi

for program in KestrineService finder KestrineMBI; do
  [[ -x "$bin/$program" ]] || continue
  [[ "$(run "$program" --version)" == "$program $version" ]] || fail "$program --version: $(run "$program" --version)"
done

run KestrineService "Copy Posix Path" "$file" 2>/dev/null || fail "KestrineService exited with $?"
[[ "$(clipboard)" == "$file" ]] || fail "KestrineService copied \"$(clipboard)\""

menu="$(run finder menu "$file")"
[[ "$menu" == $'-\nKestrine >\n  [1] Copy Posix Path\n'* ]] || fail "finder menu with the installed bundle: $menu"
run finder choose 2 "$file"
[[ "$(clipboard)" == "~/My Notes.txt" ]] || fail "finder choose 2 copied \"$(clipboard)\""

if [[ -x "$bin/KestrineMBI" ]]; then
  env -i "${session[@]}" "$bin/finder" serve >"$work/serve.out" 2>"$work/serve.err" &
  serve_pid=$!
  for _ in $(seq 100); do
    grep -qx ready "$work/serve.out" 2>/dev/null && break
    sleep 0.1
  done
  grep -qx ready "$work/serve.out" || fail "finder serve: $(cat "$work/serve.err")"
  run finder select "$file"
  mbi_menu="$(run KestrineMBI --menu 2>/dev/null)" || fail "KestrineMBI --menu"
  run KestrineMBI --choose 5 >/dev/null 2>&1 || fail "KestrineMBI --choose 5"
  kill "$serve_pid"
  wait "$serve_pid" || true
  serve_pid=""
  grep -qx '\[1\] Copy Posix Path' <<<"$mbi_menu" || fail "KestrineMBI --menu: $mbi_menu"
  [[ "$(clipboard)" == "My Notes.txt" ]] || fail "KestrineMBI --choose 5 copied \"$(clipboard)\""
fi

if [[ $mode == apt ]]; then
  page="$(env -i PATH="$prefix/bin:/usr/bin:/bin" man -w KestrineService)"
  # /usr/local/man may be a link to /usr/local/share/man.
  [[ "$(realpath "$page")" == "$prefix/share/man/man1/KestrineService.1.gz" ]] ||
    fail "man -w KestrineService: $page"
fi
while IFS= read -r page; do
  warnings="$(man --warnings -l "$root$page" 2>&1 >/dev/null)"
  [[ -z "$warnings" ]] || fail "$page: $warnings"
done < <(grep '/share/man/man1/.*\.1\.gz$' "$work/contents")

# The user's settings, prefixes and file managers' entries, and a prefix
# file the administrator added to the bundle, survive an upgrade.
mkdir -p "$work/home/.config"
cat >"$work/home/.config/com.corvane.KestrineCM.plist" <<'PLIST'
<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict>
<key>Prefixes</key><array><string>/srv/shared</string></array>
<key>LabelItems</key><true/>
</dict></plist>
PLIST
run KestrineService >/dev/null || fail "KestrineService could not write the file managers' entries"
printf '/opt/team' >"$bundle/Contents/Resources/Prefixes.txt"
snapshot() {
  (cd "$work/home" && find . -print0 | sort -z | xargs -0 stat -c '%n %s %Y %a' &&
   find . -type f -print0 | sort -z | xargs -0 sha256sum)
  sha256sum "$bundle/Contents/Resources/Prefixes.txt"
}
snapshot >"$work/before-upgrade"
[[ $(grep -c 'servicemenus/kestrine.desktop\|Thunar/uca.xml' "$work/before-upgrade") -ge 4 ]] ||
  fail "no file managers' entries were written"
install_package "$deb_next"
[[ $mode == unpack ]] || [[ "$(dpkg-query -W -f='${Version}' kestrine)" == "${version}+1" ]] || fail "upgrade"
snapshot >"$work/after-upgrade"
diff "$work/before-upgrade" "$work/after-upgrade" || fail "the upgrade changed the user's files"
menu="$(run finder menu "$file")"
grep -q '\[1000\] /opt/team' <<<"$menu" && grep -q '\[1001\] /srv/shared' <<<"$menu" ||
  fail "the prefixes are lost after the upgrade: $menu"

# As the README says, each user takes the entries out before the package goes.
run KestrineService --remove-entries >/dev/null || fail "KestrineService --remove-entries"
! grep -rlq --exclude='*.bak' 'Written by KestrineService\|kestrine-copy' "$work/home/.local" "$work/home/.config" ||
  fail "entries are left after KestrineService --remove-entries"

if [[ $mode == apt ]]; then
  rm "$bundle/Contents/Resources/Prefixes.txt"
  dpkg -L kestrine | grep -v '^/\.$' >"$work/installed"
  DEBIAN_FRONTEND=noninteractive apt-get remove --purge -y -qq -o DPkg::Lock::Timeout=300 \
    kestrine >"$work/apt.log" 2>&1 || { cat "$work/apt.log"; fail "apt-get remove"; }
  while IFS= read -r path; do
    [[ -e "$path" || -L "$path" ]] || continue
    grep -qxF "$path" "$work/existing-before" || fail "left after removal: $path"
  done <"$work/installed"
  [[ -f "$work/home/.config/com.corvane.KestrineCM.plist" ]] || fail "removal took the user's settings"
fi
echo "package installs, works, upgrades and goes"
