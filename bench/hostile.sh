#!/usr/bin/env bash
# SPDX-FileCopyrightText: The rpm_parser authors
# SPDX-License-Identifier: Apache-2.0
# Runs the tool on crafted files (bench/gen_hostile.cpp) that try to make it spend memory, time
# or log records out of proportion to their size, read as regular files and through a pipe, and
# prints wall time, peak RSS against 2.5 x the file + 16 MiB and 640 MiB, and against what a run
# may hold on this machine (a quarter of its RAM, at most 640 MiB) plus 8 MiB, and records logged.
# Usage: bench/hostile.sh   (needs root, GNU time, unshare and python3)
# Side effects, undone at exit: the crafted files, 1.1 GB on disk, are made in a folder of the
# run's own under $TMPDIR, unless RPM_HOSTILE_FILES names one to make them in and keep; a
# throwaway logger on /dev/log where the machine has none (bench/common.sh). The build stays in
# build-bench.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$root/build-bench
work=$(mktemp -d)
files=${RPM_HOSTILE_FILES:-$work/files}
source "$root/bench/common.sh"
trap 'stop_logger; rm -rf "$work"' EXIT

echo "building into $build" >&2
cmake -S "$root" -B "$build" -DRPM_BUILD_BENCH=ON -DRPM_BUILD_TESTS=OFF \
  -DCMAKE_BUILD_TYPE=Release >"$work/build.log" 2>&1 || { cat "$work/build.log" >&2; exit 1; }
cmake --build "$build" -j2 --target rpm_parser gen_hostile >>"$work/build.log" 2>&1 ||
  { cat "$work/build.log" >&2; exit 1; }
tool=$build/rpm_parser
[[ -f $files/empty_arrays.rpm && $files/empty_arrays.rpm -nt $build/bench/gen_hostile ]] ||
  "$build/bench/gen_hostile" "$files" >&2

# A logger on /dev/log as on a real system, so that every record of a timed run is really sent.
start_logger

# The records of one run that reach a logger, in a second, untimed run: a logger of its own is
# bound over /dev/log in a mount namespace of the run's own, so that neither the system's logger
# nor the timed runs' records come into the count, and it counts until the run has ended and
# every datagram the run sent, queued by then, is taken.
arrived() {  # COMMAND...
  python3 - "$work/count.sock" "$@" <<'PY'
import os, select, socket, subprocess, sys
path = sys.argv[1]
if os.path.exists(path):
    os.unlink(path)
s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
s.bind(path)
run = subprocess.Popen(["unshare", "-m", "sh", "-c", 'mount --bind "$0" /dev/log && exec "$@"',
                        path] + sys.argv[2:], stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
n = 0
while True:
    ended = run.poll() is not None
    while select.select([s], [], [], 0 if ended else 0.05)[0]:
        s.recv(65536)
        n += 1
    if ended:
        break
print(n)
PY
}

# What a run may hold here, in KiB, and the program's own few MiB beside it.
ram=$(awk '/^MemTotal:/ {print $2}' /proc/meminfo)
share=$(( (ram / 4 < 655360 ? ram / 4 : 655360) + 8192 ))
echo "MemTotal $ram KiB: a run may peak at $share KiB"
printf '%-12s %-5s %12s %8s %10s %10s %6s %8s\n' file read bytes seconds "RSS KiB" "bound KiB" status records
for f in shared_int8 bin own_int8 sparse big_string empty_arrays short_strings empty_arrays3; do
  size=$(stat -c %s "$files/$f.rpm")
  for how in file pipe; do
    if [[ $how == file ]]; then
      cmd=("$tool" -r "$files/$f.rpm" -a print -k 1000)
    else
      cmd=(sh -c 'cat "$1" | exec "$2" -r /dev/stdin -a print -k 1000' sh "$files/$f.rpm" "$tool")
    fi
    status=0
    /usr/bin/time -f '%e %M' -o "$work/time" "${cmd[@]}" >/dev/null || status=$?
    read -r secs rss <"$work/time"
    records=$(arrived "${cmd[@]}")
    # Bytes read: the whole file, but for the payload-less sparse file whose claim is refused.
    read_bytes=$([[ $f == sparse ]] && echo 128 || echo "$size")
    bound=$(awk -v r="$read_bytes" 'BEGIN {b = 2.5 * r / 1024 + 16384; print int(b < 655360 ? b : 655360)}')
    printf '%-12s %-5s %12s %8s %10s %10s %6s %8s %s\n' "$f" "$how" "$size" "$secs" "$rss" "$bound" \
      "$status" "$records" \
      "$( ((rss <= bound && rss <= share)) && echo pass || echo miss)"
  done
done
