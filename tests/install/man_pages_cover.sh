#!/usr/bin/env bash
# Every subcommand and option that a program's --help lists has its entry in the man page:
#   man_pages_cover.sh <program> <page.scd>
set -euo pipefail
program=$1 page=$2
help=$("$program" --help)
missing=0
names=$(sed -n '/^Subcommands:/,/^$/p' <<<"$help" | awk 'NR > 1 && NF { print $1 }')
names+=" "$(grep -oE -- '--[a-z][a-z-]*' <<<"$help" | sort -u)
for name in $names; do
  if ! grep -qF -- "*$name*" "$page"; then
    echo "$page: no entry for $name" >&2
    missing=1
  fi
done
# The examples show as they are written: scdoc takes a backslash as an escape also in a
# literal block, so a page must double it.
if command -v scdoc >/dev/null && command -v man >/dev/null; then
  shown=$(scdoc <"$page" | MANWIDTH=200 man -l - 2>/dev/null | sed 's/^ *//')
  while IFS= read -r line; do
    [[ -z $line ]] && continue
    literal=${line//\\\\/\\}
    if ! grep -qxF -- "$literal" <<<"$shown"; then
      echo "$page: the example line shows otherwise: $literal" >&2
      missing=1
    fi
  done < <(awk '/^```/ { inside = !inside; next } inside' "$page")
fi
exit $missing
