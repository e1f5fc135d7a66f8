#!/usr/bin/env bash
# SPDX-FileCopyrightText: The rpm_parser authors
# SPDX-License-Identifier: Apache-2.0
# A/B: two executables of the tool (say, built from two commits) timed on bench/run.sh's
# packages, round after round, each round both back to back with the order swapped every other
# round; prints the median of the per-round ratios B / A and B's median peak RSS against A's.
# Usage: bench/ab.sh A B [ROUNDS] (default 15), A and B paths of tool executables. Needs
# hyperfine, jq and python3; side effects and their cleaning as bench/common.sh says.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
a=$1 b=$2 rounds=${3:-15}
work=$(mktemp -d)
source "$root/bench/common.sh"
trap 'rm -rf "$work"; stop_logger' EXIT
start_logger
bench_packages
for s in tiny medium bighdr; do
  cmp -s <("$a" -r "$pkgs/$s.rpm" -a print -k 1000) <("$b" -r "$pkgs/$s.rpm" -a print -k 1000) ||
    { echo "ab.sh: A and B print different values on $s" >&2; exit 1; }
done

for ((r = 1; r <= rounds; r++)); do
  for s in tiny medium bighdr; do
    if [[ $s == bighdr ]]; then opts=(--warmup 3 --runs 30); else opts=(--warmup 20 --runs 150); fi
    names=(A B) cmds=("$a" "$b")
    ((r % 2)) || names=(B A) cmds=("$b" "$a")
    hyperfine -N "${opts[@]}" --output=null --style=none --export-json "$work/r.json" \
      -n "${names[0]}" "${cmds[0]} -r $pkgs/$s.rpm -a print -k 1000" \
      -n "${names[1]}" "${cmds[1]} -r $pkgs/$s.rpm -a print -k 1000" >/dev/null 2>&1
    jq -r --arg s "$s" '.results | map({key: .command, value: .median}) | from_entries |
      "\($s) \(.A) \(.B)"' "$work/r.json" >>"$work/medians"
  done
done
for s in tiny medium bighdr; do
  awk -v s="$s" '$1 == s {print $2 * 1000, $3 * 1000, $3 / $2}' "$work/medians" >"$work/$s"
  printf '%-7s A %7.2f ms  B %7.2f ms  B / A, median of %d rounds: %.3f  peak RSS A %d KiB, B %d KiB\n' \
    "$s" "$(cut -d' ' -f1 "$work/$s" | median)" "$(cut -d' ' -f2 "$work/$s" | median)" "$rounds" \
    "$(cut -d' ' -f3 "$work/$s" | median)" "$(peak_rss "$a" -r "$pkgs/$s.rpm" -a print -k 1000)" \
    "$(peak_rss "$b" -r "$pkgs/$s.rpm" -a print -k 1000)"
done
