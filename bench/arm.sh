#!/usr/bin/env bash
# SPDX-FileCopyrightText: The rpm_parser authors
# SPDX-License-Identifier: Apache-2.0
# Counts the instructions the 32-bit ARM build of rpm_parser and of the floor (bench/floor.c)
# execute on packages of bench/run.sh, under qemu-arm one instruction at a time: once on qemu's
# default processor, which has NEON, and once on one without (cortex-r5f). Each runs with an
# empty environment: the dynamic loader's work, and so the count, grows with its size.
# Needs the arm preset's tool (cmake --workflow --preset arm), arm-linux-gnueabihf-gcc and
# qemu-user. Usage: bench/arm.sh [BUILD_DIR [SHAPE...]]: build-arm by default, build-arm-static
# for the fully static build (the arm-static preset); the shapes tiny, medium and bighdr by
# default (bighdr takes minutes). Side effects and their cleaning as bench/common.sh says.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
work=$(mktemp -d)
source "$root/bench/common.sh"
trap 'rm -rf "$work"' EXIT
tool=$root/${1:-build-arm}/rpm_parser
shift || true
shapes=("${@:-tiny}")
[[ $# -gt 0 ]] || shapes=(tiny medium bighdr)
floor=$work/floor
[[ -x $tool ]] || { echo "arm.sh: build $tool first: cmake --workflow --preset arm" >&2; exit 1; }
arm-linux-gnueabihf-gcc -O2 -o "$floor" "$root/bench/floor.c"
bench_packages

# Every instruction is a translation block of its own, and each is logged as it runs.
count() {  # CPU_OPTIONS... -- COMMAND...
  local cpu=()
  while [[ $1 != -- ]]; do cpu+=("$1"); shift; done
  shift
  env -i qemu-arm "${cpu[@]}" -L /usr/arm-linux-gnueabihf -singlestep -d nochain,exec \
    -D /dev/stderr "$@" 2>&1 >/dev/null | grep -c '^Trace'
}

for cpu in default cortex-r5f; do
  if [[ $cpu == default ]]; then opt=(); else opt=(-cpu "$cpu"); fi
  for s in "${shapes[@]}"; do
    f=$(count "${opt[@]}" -- "$floor" "$pkgs/$s.rpm" 1000)
    t=$(count "${opt[@]}" -- "$tool" -r "$pkgs/$s.rpm" -a print -k 1000)
    hdr=$(awk -v s="$s" '$1 == s {print $3}' "$pkgs/sizes.txt")
    awk -v c="$cpu" -v s="$s" -v f="$f" -v t="$t" -v h="$hdr" 'BEGIN {
      printf "%-10s %-7s instructions: floor %9d  tool %9d  ratio %5.2fx  over the floor %5.2f a header byte\n",
        c, s, f, t, t / f, (t - f) / h}'
  done
done
