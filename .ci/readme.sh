#!/usr/bin/env bash
# SPDX-FileCopyrightText: The rpm_parser authors
# SPDX-License-Identifier: Apache-2.0
# Runs the documents' commands as written, so that they cannot go stale: in README.md, then in
# doc/*.md, every fenced block after a "<!-- ci: run -->" line runs in bash from the top of the
# checkout, and a block after "<!-- ci: expect -->" must be how the output of the block before
# it ends.
set -euo pipefail
cd "$(dirname "$0")/.."
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

n=0
for doc in README.md doc/*.md; do
  n=$(awk -v dir="$work" -v n="$n" -v doc="$doc" '
    /^<!-- ci: run -->$/ { n++; want = dir "/" n ".sh"; print doc > (dir "/" n ".doc"); next }
    /^<!-- ci: expect -->$/ { want = dir "/" n ".expect"; next }
    /^```/ { if (inside) { inside = 0; want = "" } else if (want != "") { inside = 1; printf "" > want }
             next }
    inside { print > want }
    END { print n }
  ' "$doc")
done

[ "$n" -gt 0 ] || { echo "readme: no commands found" >&2; exit 1; }
for ((i = 1; i <= n; i++)); do
  printf "\n== %s, block %d\n" "$(cat "$work/$i.doc")" "$i"
  cat "$work/$i.sh"
  bash -euo pipefail "$work/$i.sh" | tee "$work/$i.out"
  if [ -f "$work/$i.expect" ]; then
    want=$(cat "$work/$i.expect")
    got=$(cat "$work/$i.out")
    if [ "${got: -${#want}}" != "$want" ]; then
      echo "readme: block $i printed something else than $(cat "$work/$i.doc") shows:" >&2
      diff <(echo "$want") <(tail -n "$(echo "$want" | wc -l)" "$work/$i.out") >&2 || true
      exit 1
    fi
  fi
done
echo "readme: $n blocks ran as written"
