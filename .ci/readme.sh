#!/usr/bin/env bash
# Runs the README's commands as written, so that it cannot go stale: every fenced block after a
# "<!-- ci: run -->" line runs in bash from the top of the checkout, and a block after
# "<!-- ci: expect -->" must be how the output of the block before it ends.
set -euo pipefail
cd "$(dirname "$0")/.."
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

awk -v dir="$work" '
  /^<!-- ci: run -->$/ { n++; want = dir "/" n ".sh"; next }
  /^<!-- ci: expect -->$/ { want = dir "/" n ".expect"; next }
  /^```/ { if (inside) { inside = 0; want = "" } else if (want != "") { inside = 1; printf "" > want }
           next }
  inside { print > want }
' README.md

blocks=$(find "$work" -name '*.sh' | wc -l)
[ "$blocks" -gt 0 ] || { echo "readme: no commands found" >&2; exit 1; }
for ((i = 1; i <= blocks; i++)); do
  printf "\n== README block %d\n" "$i"
  cat "$work/$i.sh"
  bash -euo pipefail "$work/$i.sh" | tee "$work/$i.out"
  if [ -f "$work/$i.expect" ]; then
    want=$(cat "$work/$i.expect")
    got=$(cat "$work/$i.out")
    if [ "${got: -${#want}}" != "$want" ]; then
      echo "readme: block $i printed something else than the README shows:" >&2
      diff <(echo "$want") <(tail -n "$(echo "$want" | wc -l)" "$work/$i.out") >&2 || true
      exit 1
    fi
  fi
done
echo "readme: $blocks blocks ran as written"
