#!/usr/bin/env bash
# Checks each manual page given: groff reads it without a single warning, and
# every tag of a tagged paragraph fits on its own line as written, so a tag
# such as "choose [--plugin bundle]... id path..." is never split between the
# tag and its paragraph (which shows as unbalanced brackets in the tag line).
set -uo pipefail

failed=0
for page in "$@"; do
  warnings="$(groff -man -ww -z "$page" 2>&1)"
  if [[ -n "$warnings" ]]; then
    printf '%s: groff warns:\n%s\n' "$page" "$warnings"
    failed=1
  fi
  # A tag line is indented by 7 blanks and followed by its paragraph, indented by 14.
  split="$(groff -man -Tutf8 -rLL=78n -P-cbou "$page" 2>/dev/null | awk '
    previous != "" && /^              [^ ]/ {
      tag = previous; opening = gsub(/\[/, "[", tag); closing = gsub(/\]/, "]", tag)
      if (opening != closing) print previous
    }
    { previous = ($0 ~ /^       [^ ]/) ? $0 : "" }')" || { echo "$page: cannot be rendered"; failed=1; }
  if [[ -n "$split" ]]; then
    printf '%s: tags split over two lines:\n%s\n' "$page" "$split"
    failed=1
  fi
done
((failed == 0)) && echo "$# pages read without a warning or a split tag"
exit "$failed"
