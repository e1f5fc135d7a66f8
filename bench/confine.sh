#!/usr/bin/env bash
# SPDX-FileCopyrightText: The rpm_parser authors
# SPDX-License-Identifier: Apache-2.0
# What confinement costs: the release tool timed against the same tool built without its
# confinement (rpm_parser_unconfined) on the tiny and medium packages of bench/run.sh, round
# after round; prints the median of the per-round ratios confined / not.
# Usage: bench/confine.sh [ROUNDS] (default 21). Needs hyperfine, jq and python3; side effects
# and their cleaning as bench/common.sh says.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
rounds=${1:-21}
build=$root/build-bench
work=$(mktemp -d)
source "$root/bench/common.sh"
trap 'rm -rf "$work"; stop_logger' EXIT
start_logger

cmake -S "$root" -B "$build" -DRPM_BUILD_BENCH=ON -DRPM_BUILD_TESTS=OFF -DCMAKE_BUILD_TYPE=Release \
  >"$work/build.log" 2>&1 &&
  cmake --build "$build" --target rpm_parser rpm_parser_unconfined gen_packages >>"$work/build.log" 2>&1 ||
  { cat "$work/build.log" >&2; exit 1; }
bench_packages
tool=$build/rpm_parser

# Each side its own hyperfine call; the order swaps every other round.
time_it() {  # SIDE SHAPE: the mean in seconds
  local bin=$tool
  [[ $1 == unconfined ]] && bin=${tool}_unconfined
  hyperfine -N --warmup 20 --runs 200 --output=null --style=none \
    --export-json "$work/$1.json" "$bin -r $pkgs/$2.rpm -a print -k 1000" >/dev/null 2>&1
  jq '.results[0].mean' "$work/$1.json"
}
for ((r = 1; r <= rounds; r++)); do
  for s in tiny medium; do
    if ((r % 2)); then
      c=$(time_it confined "$s") u=$(time_it unconfined "$s")
    else
      u=$(time_it unconfined "$s") c=$(time_it confined "$s")
    fi
    echo "$s $(awk -v c="$c" -v u="$u" 'BEGIN {print c / u}')" >>"$work/ratios"
  done
done
for s in tiny medium; do
  awk -v s="$s" '$1 == s {print $2}' "$work/ratios" | sort -g |
    awk -v s="$s" -v n="$rounds" '{v[NR] = $1} END {
      printf "%-7s confined / unconfined, median of %d rounds: %.3f\n", s, n, v[int((NR + 1) / 2)]}'
done
