# SPDX-FileCopyrightText: The rpm_parser authors
# SPDX-License-Identifier: Apache-2.0
# Sourced by the benchmark scripts, after they set `root` and `work` (a folder of their own that
# their exit trap removes): a logger on /dev/log, the packages, medians and peak RSS.
# Side effects, all undone at exit: where the machine has no /dev/log, start_logger creates it
# for a throwaway logger (as root) and stop_logger removes it; the packages are made in $work,
# about 1.2 GB, unless RPM_BENCH_PACKAGES names a folder to make them in and keep for later runs.
# The builds stay in build-bench (and build-bench-static) in the checkout.
listener=
start_logger() {
  [[ -e /dev/log ]] && return
  python3 -c 'import socket
s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
s.bind("/dev/log")
while True:
    s.recv(65536)' &
  listener=$!
  for _ in $(seq 50); do [[ -S /dev/log ]] && break; sleep 0.1; done
}
stop_logger() {
  if [[ -n $listener ]]; then kill "$listener" 2>/dev/null || true; rm -f /dev/log; fi
}

pkgs=${RPM_BENCH_PACKAGES:-$work/packages}
# Makes bench/gen_packages's packages in $pkgs unless they are there, building the generator
# into build-bench first when it is missing.
bench_packages() {
  local gen=$root/build-bench/bench/gen_packages
  [[ -f $pkgs/sizes.txt && $pkgs/sizes.txt -nt $gen ]] && return
  if [[ ! -x $gen ]]; then
    { cmake -S "$root" -B "$root/build-bench" -DRPM_BUILD_BENCH=ON -DRPM_BUILD_TESTS=OFF \
        -DCMAKE_BUILD_TYPE=Release && cmake --build "$root/build-bench" --target gen_packages; } \
      >"$work/gen.log" 2>&1 || { cat "$work/gen.log" >&2; return 1; }
  fi
  "$gen" "$pkgs" >&2
}

# The median of the numbers on standard input, one a line.
median() { sort -g | awk '{v[NR] = $1} END {print NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }

# Peak RSS in KiB of the command given, median of five runs (needs GNU time).
peak_rss() {
  for _ in 1 2 3 4 5; do
    /usr/bin/time -f %M "$@" 2>&1 >/dev/null | tail -1
  done | median
}
