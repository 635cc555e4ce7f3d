#!/usr/bin/env bash
# Times the tray application: opening its status menu and "Copy Posix Path"
# through --choose on 1,000 files, against a real serving Finder.
#   bench/kestrine_mbi_bench.sh [BUILD_DIR]   (default: build)
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${1:-$ROOT/build}"
cmake --build "$BUILD" --target menu_bench kestrine-finder KestrineMBI >/dev/null
"$BUILD/KestrineMBI/menu_bench" "$BUILD/finder/kestrine-finder" "$BUILD/KestrineMBI/KestrineMBI"
