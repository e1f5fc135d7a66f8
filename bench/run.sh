#!/usr/bin/env bash
# SPDX-FileCopyrightText: The rpm_parser authors
# SPDX-License-Identifier: Apache-2.0
# Counts the instructions rpm_parser and the floor (bench/floor.c) execute on four synthetic
# packages, then times them, and reports each against its target.
# Usage: bench/run.sh [--logger] [--static] [ROUNDS] (default 5). With --logger, and no logger on
# /dev/log, a throwaway one takes the records there, as a system logger would (needs python3
# and root). With --static, the tool is the fully static build (RPM_STATIC), in
# build-bench-static. Side effects and their cleaning as bench/common.sh says.
# Progress goes to stderr, results to stdout. Exits 1 when the two programs print different
# values; a missed target is reported, not an error.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
work=$(mktemp -d)
source "$root/bench/common.sh"
with_logger=0 static=OFF build=$root/build-bench
while [[ ${1:-} == --* ]]; do
  case $1 in
    --logger) with_logger=1 ;;
    --static) static=ON build=$root/build-bench-static ;;
    *) echo "run.sh: unknown option $1" >&2; exit 2 ;;
  esac
  shift
done
rounds=${1:-5}
trap 'rm -rf "$work"; stop_logger' EXIT
((with_logger)) && start_logger

for t in cmake hyperfine jq /usr/bin/time valgrind logger; do
  command -v "$t" >/dev/null || { echo "run.sh: $t is missing" >&2; exit 1; }
done

echo "building into $build" >&2
cmake -S "$root" -B "$build" -DRPM_BUILD_BENCH=ON -DRPM_BUILD_TESTS=OFF -DRPM_STATIC=$static \
  -DCMAKE_BUILD_TYPE=Release >"$work/build.log" 2>&1 || { cat "$work/build.log" >&2; exit 1; }
cmake --build "$build" -j2 --target rpm_parser rpm_parser_unconfined gen_packages rpm_floor \
  >>"$work/build.log" 2>&1 ||
  { cat "$work/build.log" >&2; exit 1; }
tool=$build/rpm_parser
floor=$build/bench/rpm_floor
gen=$build/bench/gen_packages

shapes=(tiny medium bighdr bigpayload)
fresh=1
for s in "${shapes[@]}"; do [[ -f $pkgs/$s.rpm ]] || fresh=0; done
[[ -f $pkgs/sizes.txt && $pkgs/sizes.txt -nt $gen ]] || fresh=0
if ((fresh)); then
  echo "reusing packages in $pkgs" >&2
else
  echo "generating packages into $pkgs" >&2
  "$gen" "$pkgs" >&2
fi

# Same bytes from both, and not nothing, before any timing means anything.
checks=(tiny:1000 tiny:1004 tiny:1006 tiny:269 medium:1000 medium:1117 medium:1030
        medium:1050 bighdr:1000 bighdr:1035 bigpayload:1000)
for c in "${checks[@]}"; do
  s=${c%%:*} k=${c#*:}
  "$tool" -r "$pkgs/$s.rpm" -a print -k "$k" >"$work/tool.out" || { echo "FAIL: rpm_parser exited $? on $s tag $k" >&2; exit 1; }
  "$floor" "$pkgs/$s.rpm" "$k" >"$work/floor.out" || { echo "FAIL: rpm_floor exited $? on $s tag $k" >&2; exit 1; }
  if ! cmp -s "$work/tool.out" "$work/floor.out" || [[ ! -s $work/tool.out ]]; then
    echo "FAIL: $s tag $k: rpm_parser printed $(wc -c <"$work/tool.out") bytes," \
         "rpm_floor $(wc -c <"$work/floor.out") bytes, not the same non-empty value" >&2
    cmp "$work/tool.out" "$work/floor.out" >&2 || true
    exit 1
  fi
done
echo "values agree on ${#checks[@]} shape/tag pairs" >&2

# Both programs send their records to syslog; what that costs depends on whether a logger
# takes them, so say which.
if logger --socket-errors=on -u /dev/log -p user.debug -t rpm_bench "bench/run.sh: logger probe" \
    2>/dev/null; then
  echo "logger: listening on /dev/log"
else
  echo "logger: none on /dev/log (records are dropped)"
fi

# Instructions executed, dynamic loader and C library included: unlike wall time, the same from
# run to run on a busy machine. Targets: the tiny header (alone or before a big payload) within
# 1.25x the floor, the others within one instruction a header byte over it, and the big payload
# within 1% of the tiny package, whose header it carries. The loader's share grows with the
# environment (here 21,600 instructions more than with none at all), the same for both
# programs: the instructions over the floor don't move, a ratio does. valgrind needs calls the
# filter refuses, so it counts the same tool built without it: its filter is not counted.
echo "environment: $(env | wc -l) variables, $(env | wc -c) bytes"
instructions() {
  valgrind --tool=cachegrind --cache-sim=no --cachegrind-out-file=/dev/null "$@" 2>&1 >/dev/null |
    awk '/I +refs:/ {gsub(",", "", $NF); print $NF}'
}
for s in "${shapes[@]}"; do
  f_ir=$(instructions "$floor" "$pkgs/$s.rpm" 1000)
  t_ir=$(instructions "$tool"_unconfined -r "$pkgs/$s.rpm" -a print -k 1000)
  [[ $s == tiny ]] && tiny_ir=$t_ir
  [[ $s == bigpayload ]] && payload_ir=$t_ir
  hdr=$(awk -v s="$s" '$1 == s {print $3}' "$pkgs/sizes.txt")
  awk -v s="$s" -v f="$f_ir" -v t="$t_ir" -v h="$hdr" 'BEGIN {
    q = t / f; e = (t - f) / h
    if (s == "tiny" || s == "bigpayload") verdict = sprintf("ratio <= 1.25 %s", q <= 1.25 ? "pass" : "miss")
    else verdict = sprintf("per byte <= 1.0 %s", e <= 1.0 ? "pass" : "miss")
    printf "%-10s instructions: floor %11d  tool %11d  ratio %6.3fx  over the floor %11d, %6.2f a header byte (%d B)  %s\n",
      s, f, t, q, t - f, e, h, verdict}'
done

# Rounds interleave the shapes, each round times floor and tool back to back, and every other
# round swaps their order, so that a slow spell of the machine lands on both sides of a ratio.
# bigpayload's run also times the tool on tiny, for a like-for-like payload comparison.
for ((r = 1; r <= rounds; r++)); do
  echo "round $r/$rounds" >&2
  for s in "${shapes[@]}"; do
    if [[ $s == bighdr ]]; then opts=(--warmup 3 --runs 20); else opts=(--warmup 20 --runs 150); fi
    names=(floor tool)
    cmds=("$floor $pkgs/$s.rpm 1000" "$tool -r $pkgs/$s.rpm -a print -k 1000")
    if [[ $s == bigpayload ]]; then
      names+=(tiny_tool)
      cmds+=("$tool -r $pkgs/tiny.rpm -a print -k 1000")
    fi
    args=()
    for ((i = 0; i < ${#names[@]}; i++)); do
      j=$((r % 2 ? i : ${#names[@]} - 1 - i))
      args+=(-n "${names[j]}" "${cmds[j]}")
    done
    hyperfine -N "${opts[@]}" --output=null --style=none --export-json "$work/$s.$r.json" \
      "${args[@]}" >/dev/null 2>"$work/hyperfine.err" || { cat "$work/hyperfine.err" >&2; exit 1; }
    jq -r --arg s "$s" '.results | map({key: .command, value: .mean}) | from_entries |
      "\($s) \(.floor) \(.tool) \(.tiny_tool // 0)"' "$work/$s.$r.json" >>"$work/means"
  done
done

worst=0 worst_shape=
for s in "${shapes[@]}"; do
  f_ms=$(awk -v s="$s" '$1 == s {print $2 * 1000}' "$work/means" | median)
  t_ms=$(awk -v s="$s" '$1 == s {print $3 * 1000}' "$work/means" | median)
  ratio=$(awk -v s="$s" '$1 == s {print $3 / $2}' "$work/means" | median)
  f_rss=$(peak_rss "$floor" "$pkgs/$s.rpm" 1000)
  t_rss=$(peak_rss "$tool" -r "$pkgs/$s.rpm" -a print -k 1000)
  hdr=$(awk -v s="$s" '$1 == s {print $3}' "$pkgs/sizes.txt")
  if [[ $s == bighdr ]]; then
    time_limit=1.5
    rss_text=$(awk -v t="$t_rss" -v h="$hdr" 'BEGIN {
      m = t * 1024 / h; printf "RSS %.2fx header (%d KiB, <= 1.3x) %s", m, h / 1024, m <= 1.3 ? "pass" : "miss"}')
  else
    time_limit=1.2
    rss_text=$(awk -v t="$t_rss" -v f="$f_rss" 'BEGIN {
      d = t - f; printf "RSS %+d KiB %s", d, d <= 1024 ? "pass" : "miss"}')
  fi
  awk -v s="$s" -v f="$f_ms" -v t="$t_ms" -v q="$ratio" -v lim="$time_limit" -v fr="$f_rss" \
      -v tr="$t_rss" -v rt="$rss_text" 'BEGIN {
    printf "%-10s floor %8.2f ms  tool %8.2f ms  time %5.2fx (<= %.1fx) %s  floor RSS %6d KiB  tool RSS %6d KiB  %s\n",
      s, f, t, q, lim, q <= lim ? "pass" : "miss", fr, tr, rt}'
  if awk -v q="$ratio" -v w="$worst" 'BEGIN {exit !(q > w)}'; then worst=$ratio worst_shape=$s; fi
done

# The payload is never decoded: the big one costs the instructions of the tiny package, a target;
# its time ratio moves by several hundredths from run to run on a shared machine, so it is shown only.
awk '$1 == "bigpayload" {print $3 / $4}' "$work/means" | median |
  awk -v p="$payload_ir" -v t="$tiny_ir" '{q = p / t; printf "bigpayload vs tiny: tool instructions %.4fx (within 1%%) %s, time %.3fx\n",
    q, (q <= 1.01 && q >= 0.99) ? "pass" : "miss", $1}'
awk -v w="$worst" -v s="$worst_shape" 'BEGIN {printf "worst time ratio: %.2fx (%s)\n", w, s}'
