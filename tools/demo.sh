#!/usr/bin/env bash
# Copies the paths of a file of this repository with "Copy All Paths" and
# shows the text that reached the clipboard.
set -euo pipefail
BUILD="${1:?usage: demo.sh BUILD_DIR}"
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
SERVICE="$BUILD/KestrineService/KestrineService"
FILE="$ROOT/README.md"

echo "\$ KestrineService \"Copy All Paths\" $FILE"
"$SERVICE" "Copy All Paths" "$FILE" 2>/dev/null

echo
if [[ -n "${WAYLAND_DISPLAY:-}" ]] && command -v wl-paste >/dev/null; then
  echo "Clipboard (Wayland):"
  wl-paste --no-newline
elif [[ -n "${DISPLAY:-}" ]] && command -v xclip >/dev/null; then
  echo "Clipboard (X11 CLIPBOARD selection):"
  xclip -selection clipboard -o
else
  clip="$HOME/.cache/kestrine/run"
  [[ "${XDG_RUNTIME_DIR:-}" == /* ]] && clip="$XDG_RUNTIME_DIR/kestrine"
  echo "Clipboard (no display; the per-user file $clip/clipboard):"
  cat "$clip/clipboard"
fi
echo
