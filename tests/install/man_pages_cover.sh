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
exit $missing
