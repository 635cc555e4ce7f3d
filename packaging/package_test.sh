#!/usr/bin/env bash
# Builds the Debian packages of a build folder (kestrine and one
# kestrine-<file manager> per module) and uses them as a user would:
# installs kestrine alone with apt-get and runs the installed programs on
# real files, adds the modules, upgrades everything in place and checks that
# the user's files are untouched, purges each module and checks that
# kestrine still works, then purges kestrine and checks that nothing the
# packages installed is left.
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

# The packages, and a later version of each for the upgrade; the modules'
# packages depend on kestrine of their own version.
(cd "$BUILD" && cpack -G DEB -B "$work/cpack" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; fail "cpack failed"; }
deb="$(find "$work/cpack" -maxdepth 1 -name 'kestrine_*_amd64.deb')"
[[ -f "$deb" ]] || fail "no kestrine_<version>_amd64.deb was made"
version="$(dpkg-deb -f "$deb" Version)"
[[ "$(basename "$deb")" == "kestrine_${version}_amd64.deb" ]] || fail "package file name $(basename "$deb")"
# Each module's package and the library it must depend on, as the build
# lists them.
[[ -f "$BUILD/packaging/module_packages" ]] || fail "the build lists no module packages"
declare -A module_library=() module_deb=()
while read -r package library; do
  module_library[$package]="$library"
  module_deb[$package]="$work/cpack/${package}_${version}_amd64.deb"
  [[ -f "${module_deb[$package]}" ]] || fail "no ${package}_${version}_amd64.deb was made"
done <"$BUILD/packaging/module_packages"
mapfile -t modules < <(printf '%s\n' "${!module_library[@]}" | sort)
((${#modules[@]})) || fail "the build lists no module packages"
made="$(find "$work/cpack" -maxdepth 1 -name '*.deb' | wc -l)"
((made == ${#modules[@]} + 1)) || fail "$made packages were made: $(ls "$work/cpack")"
next() {  # deb: the same package at version+1
  local unpacked="$work/next/$(basename "$1")"
  mkdir -p "$work/next"
  dpkg-deb -R "$1" "$unpacked"
  sed -i "s/^Version: .*/Version: ${version}+1/; /^Depends:/s/kestrine (= ${version})/kestrine (= ${version}+1)/" \
    "$unpacked/DEBIAN/control"
  dpkg-deb --root-owner-group -b "$unpacked" "$work/$(basename "${1/_${version}_/_${version}+1_}")" >/dev/null
  echo "$work/$(basename "${1/_${version}_/_${version}+1_}")"
}
deb_next="$(next "$deb")"
declare -A module_deb_next=()
for package in "${modules[@]}"; do module_deb_next[$package]="$(next "${module_deb[$package]}")"; done

depends="$(dpkg-deb -f "$deb" Depends)"
grep -q 'libplist' <<<"$depends" || fail "Depends lacks the libraries: $depends"
# No file manager's library: a module installed without a component of its
# own would bring them.
! grep -Eq 'extension|libkf5|thunarx' <<<"$depends" || fail "kestrine depends on a file manager's library: $depends"
[[ "$(dpkg-deb -f "$deb" Recommends)" == "qt6-wayland, wl-clipboard | xclip | xsel" ]] ||
  fail "Recommends: $(dpkg-deb -f "$deb" Recommends)"
# Every path a package holds, without the leading ".".
listing() { dpkg-deb -c "$1" | sed -E 's/^([^ ]+ +){5}\.//; s|/$||' | grep -v '^$'; }
listing "$deb" >"$work/contents"
prefix="$(sed -n 's|/bin/KestrineService$||p' "$work/contents")"
[[ -n "$prefix" ]] || fail "the package holds no bin/KestrineService"
for path in "$prefix/lib/kestrine/libkestrine_platform_files.so" \
            "$prefix/share/Kestrine/Contextual Menu Items/KestrineCM.plugin/Contents/Linux/KestrineCM.so" \
            "$prefix/share/doc/kestrine/copyright" "$prefix/share/man/man1/KestrineService.1.gz" \
            "$prefix/share/man/man1/kestrine-finder.1.gz" "$prefix/share/man/man1/KestrineMBI.1.gz"; do
  grep -qxF "$path" "$work/contents" || fail "the package lacks $path"
done
# Where the file managers look for the modules.
declare -A module_path=(
  [kestrine-nautilus]="$(pkg-config --variable=extensiondir libnautilus-extension-4)/libkestrine-nautilus.so"
  [kestrine-caja]="$(pkg-config --variable=extensiondir libcaja-extension)/libkestrine-caja.so"
  [kestrine-nemo]="$(pkg-config --variable=extensiondir libnemo-extension)/libkestrine-nemo.so"
  [kestrine-thunar]="$(pkg-config --variable=extensionsdir thunarx-3)/libkestrine-thunar.so"
  [kestrine-dolphin]="$prefix/$(sed -n 's/^KESTRINE_QT5_PLUGIN_DIR:STRING=//p' "$BUILD/CMakeCache.txt")/kf5/kfileitemaction/kestrine-dolphin.so")
for package in "${modules[@]}"; do
  # A user without this file manager installs kestrine without its library.
  ! grep -qw -- "${module_library[$package]}" <<<"$depends" ||
    fail "kestrine depends on ${module_library[$package]}: $depends"
  package_depends="$(dpkg-deb -f "${module_deb[$package]}" Depends)"
  grep -qF "kestrine (= ${version})" <<<"$package_depends" &&
    grep -qw -- "${module_library[$package]}" <<<"$package_depends" || fail "$package depends on: $package_depends"
  listing "${module_deb[$package]}" >"$work/contents-$package"
  grep -qxF "$prefix/share/doc/$package/copyright" "$work/contents-$package" || fail "$package has no copyright"
  [[ -z "${module_path[$package]:-}" ]] || grep -qxF "${module_path[$package]}" "$work/contents-$package" ||
    fail "$package lacks ${module_path[$package]}"
done
# The entries of the file managers without a module of their own come with
# kestrine; a file manager with a module gets none, not even from kestrine.
entries="$prefix/share/file-manager/actions"
grep -qxF "$entries/kestrine.desktop" "$work/contents" || fail "kestrine lacks $entries/kestrine.desktop"
for pair in "kestrine-dolphin kio/servicemenus/kestrine.desktop" \
            "kestrine-nemo nemo/actions/kestrine-copy-posix-path.nemo_action"; do
  read -r package entry <<<"$pair"
  if [[ -n "${module_library[$package]:-}" ]]; then
    ! grep -F "/share/$entry" "$work"/contents* || fail "a package holds $entry beside $package"
  else
    grep -qxF "$prefix/share/$entry" "$work/contents" || fail "kestrine lacks $prefix/share/$entry"
  fi
done
# No file is in two packages (dpkg would refuse the second).
duplicated="$(for package in "$deb" "${module_deb[@]}"; do
  dpkg-deb -c "$package" | grep -v '^d' | sed -E 's/^([^ ]+ +){5}\.//'
done | sort | uniq -d)"
[[ -z "$duplicated" ]] || fail "in more than one package: $duplicated"
cat "$work"/contents* >"$work/all-contents"

# Overlays each system folder the package or apt-get writes to, in this
# namespace; fails when one cannot be made (the caller then unpacks).
overlay_system_folders() {
  local folder layer
  mkdir "$work/layers"
  mount -t tmpfs kestrine-package-test "$work/layers" || return 1
  for folder in /etc /var $(sed -E 's|^(/[^/]+).*|\1|' "$work/all-contents" | sort -u); do
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
echo "packages: $(cd "$work/cpack" && echo *.deb), prefix $prefix, $mode"

# Which of the packages' folders exist before they are installed.
while IFS= read -r path; do
  [[ -d "$root$path" ]] && echo "$path"
done <"$work/all-contents" >"$work/existing-before"

apt() { DEBIAN_FRONTEND=noninteractive apt-get -y -qq -o DPkg::Lock::Timeout=300 "$@" >"$work/apt.log" 2>&1; }
install_packages() {  # deb...
  local package
  if [[ $mode == apt ]]; then
    apt install --no-install-recommends "$@" || { cat "$work/apt.log"; fail "apt-get install $*"; }
  else
    for package in "$@"; do dpkg-deb -x "$package" "$root"; done
  fi
}
installed_version() {  # package
  [[ $mode == unpack ]] || dpkg-query -W -f='${Version}' "$1" 2>/dev/null
}
# Purges the packages and checks that none of the files they installed is
# left, but for the folders that were there before and those a package
# still installed holds too.
purge() {  # package...
  local package path
  for package in "$@"; do dpkg -L "$package"; done | grep -v '^/\.$' >"$work/installed"
  apt remove --purge "$@" || { cat "$work/apt.log"; fail "apt-get remove --purge $*"; }
  while IFS= read -r path; do
    [[ -e "$path" || -L "$path" ]] || continue
    grep -qxF "$path" "$work/existing-before" && continue
    [[ -d "$path" ]] && dpkg-query -S "$path" >/dev/null 2>&1 && continue
    fail "left after purging $*: $path"
  done <"$work/installed"
}
# Each installed program and plug-in of a package finds every library and
# every symbol it needs.
check_libraries() {  # contents
  local path
  [[ $mode == apt ]] || return 0
  while IFS= read -r path; do
    [[ -f "$path" && "$(head -c 4 "$path" | od -An -c | tr -d ' ')" == '177ELF' ]] || continue
    ! ldd -r "$path" 2>&1 | grep 'not found\|undefined symbol' || fail "$path misses libraries or symbols"
  done <"$1"
}

install_packages "$deb"
[[ $mode == unpack ]] || [[ "$(installed_version kestrine)" == "$version" ]] || fail "installed version"
for package in "${modules[@]}"; do
  [[ -z "$(installed_version "$package")" ]] || fail "installing kestrine installed $package"
done

bin="$root$prefix/bin"
bundle="$root$prefix/share/Kestrine/Contextual Menu Items/KestrineCM.plugin"
mkdir -p "$work/home" "$work/run"
chmod 700 "$work/run"
file="$work/home/My Notes.txt"
printf 'x' >"$file"
# A user's session without a display: the clipboard is a file.
# Dolphin and PCManFM-Qt stand in as installed file managers: KestrineService
# writes entries only for those on PATH.
mkdir -p "$work/file-managers"
for program in dolphin pcmanfm-qt; do printf '#!/bin/sh\n' >"$work/file-managers/$program"; done
chmod +x "$work/file-managers"/*
session=(PATH="$bin:/usr/bin:/bin:$work/file-managers" HOME="$work/home" XDG_RUNTIME_DIR="$work/run"
         XDG_CONFIG_DIRS="$work/xdg" QT_QPA_PLATFORM=offscreen)
[[ $mode == apt ]] || session+=(XDG_DATA_DIRS="$root$prefix/share")
run() { env -i "${session[@]}" "$@"; }
clipboard() { cat "$work/run/kestrine/clipboard"; }

check_libraries "$work/contents"

# The installed entries run the installed KestrineService, and
# "--remove-entries" does not claim them.
[[ $(find "$root$entries" -name 'kestrine*.desktop' | wc -l) -eq 13 ]] || fail "the entries in $entries"
grep -qxF "Exec=\"$prefix/bin/KestrineService\" \"Copy Posix Path\" %F" \
  "$root$entries/kestrine-copy-posix-path.desktop" || fail "$entries/kestrine-copy-posix-path.desktop"
! grep -l 'Written by KestrineService' "$root$entries"/* || fail "an installed entry says KestrineService wrote it"

for program in KestrineService kestrine-finder KestrineMBI; do
  [[ -x "$bin/$program" ]] || continue
  [[ "$(run "$program" --version)" == "$program $version" ]] || fail "$program --version: $(run "$program" --version)"
done

# KestrineService copies, with the label the user's settings ask for, and
# the Finder shows the installed bundle's menu.
check_copies() {  # [label]
  run KestrineService "Copy Posix Path" "$file" 2>/dev/null || fail "KestrineService exited with $?"
  [[ "$(clipboard)" == "${1:-}$file" ]] || fail "KestrineService copied \"$(clipboard)\""
  menu="$(run kestrine-finder menu "$file")"
  [[ "$menu" == $'-\nKestrine >\n  [1] Copy Posix Path\n'* ]] || fail "kestrine-finder menu with the installed bundle: $menu"
}
check_copies
run kestrine-finder choose 2 "$file"
[[ "$(clipboard)" == "~/My Notes.txt" ]] || fail "kestrine-finder choose 2 copied \"$(clipboard)\""

if [[ -x "$bin/KestrineMBI" ]]; then
  env -i "${session[@]}" "$bin/kestrine-finder" serve >"$work/serve.out" 2>"$work/serve.err" &
  serve_pid=$!
  for _ in $(seq 100); do
    grep -qx ready "$work/serve.out" 2>/dev/null && break
    sleep 0.1
  done
  grep -qx ready "$work/serve.out" || fail "kestrine-finder serve: $(cat "$work/serve.err")"
  run kestrine-finder select "$file"
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

# The modules' packages go beside it.
install_packages "${module_deb[@]}"
for package in "${modules[@]}"; do
  [[ $mode == unpack ]] || [[ "$(installed_version "$package")" == "$version" ]] || fail "$package not installed"
  check_libraries "$work/contents-$package"
done

# The user's settings, prefixes and file managers' entries, and a prefix
# file the administrator added to the bundle, survive an upgrade of every
# package.
mkdir -p "$work/home/.config"
cat >"$work/home/.config/com.corvane.KestrineCM.plist" <<'PLIST'
<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict>
<key>Prefixes</key><array><string>/srv/shared</string></array>
<key>LabelItems</key><true/>
</dict></plist>
PLIST
if [[ $mode == apt ]]; then
  # The package's KestrineService writes nothing into the home: the package
  # has the entries.
  said="$(run KestrineService)" || fail "KestrineService exited with $?"
  [[ "$said" == "KestrineService: $prefix/bin/KestrineService is installed for every user: its packages install the file managers' entries, so none are written into your home (\"KestrineService --remove-entries\" removes those an earlier run wrote)" ]] ||
    fail "KestrineService said: $said"
  written="$(find "$work/home" -name 'kestrine*' -o -name Kestrine -o -name uca.xml)"
  [[ -z "$written" ]] || fail "KestrineService wrote into the home: $written"
  # Entries of an earlier run, by a KestrineService of the user's own.
  run "$BUILD/KestrineService/KestrineService" >/dev/null || fail "the build's KestrineService wrote no entries"
else
  # Unpacked elsewhere than its prefix, KestrineService writes the user's.
  run KestrineService >/dev/null || fail "KestrineService could not write the file managers' entries"
fi
printf '/opt/team' >"$bundle/Contents/Resources/Prefixes.txt"
snapshot() {
  (cd "$work/home" && find . -print0 | sort -z | xargs -0 stat -c '%n %s %Y %a' &&
   find . -type f -print0 | sort -z | xargs -0 sha256sum)
  sha256sum "$bundle/Contents/Resources/Prefixes.txt"
}
snapshot >"$work/before-upgrade"
[[ $(grep -c 'servicemenus/kestrine.desktop\|file-manager/actions/kestrine.desktop' "$work/before-upgrade") -ge 4 ]] ||
  fail "no file managers' entries were written"
# The package's Thunar module shows Kestrine's menu in Thunar already.
[[ $mode != apt || ! -e "$work/home/.config/Thunar/uca.xml" ]] || fail "Thunar got custom actions beside its module"
install_packages "$deb_next" "${module_deb_next[@]}"
for package in kestrine "${modules[@]}"; do
  [[ $mode == unpack ]] || [[ "$(installed_version "$package")" == "${version}+1" ]] || fail "upgrade of $package"
done
snapshot >"$work/after-upgrade"
diff "$work/before-upgrade" "$work/after-upgrade" || fail "the upgrade changed the user's files"
menu="$(run kestrine-finder menu "$file")"
grep -q '\[1000\] /opt/team' <<<"$menu" && grep -q '\[1001\] /srv/shared' <<<"$menu" ||
  fail "the prefixes are lost after the upgrade: $menu"

# Purging a module leaves kestrine working.
if [[ $mode == apt ]]; then
  for package in "${modules[@]}"; do
    purge "$package"
    [[ "$(installed_version kestrine)" == "${version}+1" ]] || fail "purging $package took kestrine"
    check_copies "Mac Path: "
  done
  check_libraries "$work/contents"
fi

# As the README says, each user takes the entries out before the package goes.
run KestrineService --remove-entries >/dev/null || fail "KestrineService --remove-entries"
! grep -rlq --exclude='*.bak' 'Written by KestrineService\|kestrine-copy' "$work/home/.local" "$work/home/.config" ||
  fail "entries are left after KestrineService --remove-entries"

if [[ $mode == apt ]]; then
  rm "$bundle/Contents/Resources/Prefixes.txt"
  purge kestrine
  [[ -z "$(find "$entries" -name 'kestrine*' 2>/dev/null)" ]] || fail "entries are left in $entries"
  [[ -f "$work/home/.config/com.corvane.KestrineCM.plist" ]] || fail "removal took the user's settings"
fi
echo "packages install, work, upgrade and go"
