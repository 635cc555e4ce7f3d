# Shell helpers for the tests that install a build; sourced.

# Runs `cmake --install BUILD ARGS...` below DESTDIR (WORK/root unless the
# caller sets one), so that even a wrong rule cannot write into the system,
# and fails, naming each, when a file it installs lies outside the folder WORK.
install_inside() {  # WORK BUILD [ARGS...]
  local work="$1" build="$2" outside
  shift 2
  DESTDIR="${DESTDIR:-$work/root}" cmake --install "$build" "$@" >"$work/install.log" ||
    { cat "$work/install.log"; return 1; }
  # CMake names every file it installs, with DESTDIR, on a line of its own.
  outside="$(awk -v inside="$work/" '/^-- (Installing|Up-to-date): / {
      path = substr($0, index($0, ": ") + 2)
      if (index(path, inside) != 1) print path
    }' "$work/install.log")"
  [[ -z "$outside" ]] || { echo "installed outside $work:"; echo "$outside"; return 1; }
}
