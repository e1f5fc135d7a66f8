#!/usr/bin/env bash
# SPDX-FileCopyrightText: The rpm_parser authors
# SPDX-License-Identifier: Apache-2.0
# Runs the test suite on the target's own kernel: Debian 12's 32-bit ARM kernel boots in
# qemu-system-arm from an initramfs that holds busybox, the fully static ARM build of the tool and
# of its tests, and the test data, each at the path the build gave it. There the tests run with
# busybox syslogd on /dev/log, the records it wrote are checked against those the tool logged,
# and the big bench package and crafted array files are read under busybox's `time -v`. Then the
# kernel boots again with 128 MB and with 256 MB of RAM, as small devices have, and the LPAE
# flavour, built with transparent huge pages, with 128 MB: there the tool reads stores of half,
# three quarters and all of the RAM, sections just under its share and the big bench package,
# directly and through a pipe, a service's cgroup v2 of 64 MiB asks about a 100 MiB store, and
# four runs at once take more than the RAM holds. Every line comes back on the serial console;
# each boot ends with "N passed, N failed".
# Usage: .ci/target.sh [SECONDS] (the time limit of each boot, default 1800).
# Needs root (the armhf architecture is added to dpkg to download the kernel and busybox-static,
# which are unpacked, never installed), qemu-system-arm, qemu-user, g++-arm-linux-gnueabihf and
# cpio. .ci/bullseye.sh sources it for the functions below, to boot its own build and kernel.
set -euo pipefail

checkout=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
blocks=$checkout/.ci/target.sh
limit=${1:-1800}

# The functions take from their caller: `work`, a folder of its own; `build`, the ARM build;
# `vmlinuz`, the kernel; and `busybox`.

# Copies what the suite's tests name into the tree $work/NAME, at the paths they name it by, and
# adds /bin/legacy, which runs its arguments as a parent without PT_GNU_STACK does (old vendor
# programs, assembly objects): the kernel gives it READ_IMPLIES_EXEC, which 32-bit ARM keeps
# across exec.
suite_tree() {  # NAME
  local path legacy=$work/$1/bin/legacy
  for path in "$build"/rpm_parser "$build"/tests/{rpm_tests,cli_tests,rpm_parser_logfd} \
      "$build"/fuzz/fuzz_replay "$build"/bench/gen_packages "$checkout"/tests/data \
      "$checkout"/fuzz/corpus /usr/share/zoneinfo/Etc/GMT-14; do
    mkdir -p "$work/$1$(dirname "$path")"
    cp -r "$path" "$work/$1$path"
  done
  mkdir -p "$work/$1/bin"
  echo 'int main(int c, char** v) { return c > 1 ? execv(v[1], v + 1) : 0; }' |
    arm-linux-gnueabihf-gcc -static -O2 -include unistd.h -x c - -o "$legacy"
  # The program header's type PT_GNU_STACK (0x6474e551) made PT_NULL.
  perl -0777 -pi -e 'substr($_, 0, 512) =~ s/\x51\xe5\x74\x64/\0\0\0\0/' "$legacy"
  if arm-linux-gnueabihf-readelf -lW "$legacy" | grep -q GNU_STACK; then
    echo "$legacy still has PT_GNU_STACK" >&2
    return 1
  fi
}

# Packs the tree $work/NAME, with busybox, into the initramfs $work/NAME.gz, whose init runs the
# block of this script between "# NAME: begin" and "# NAME: end". It is the target's root file
# system, a tmpfs, /tmp included.
pack() {  # NAME
  local fs=$work/$1
  mkdir -p "$fs"/{bin,sbin,usr/bin,usr/sbin,proc,sys,dev,tmp,var/log}
  cp "$busybox" "$fs/bin/"
  {
    echo '#!/bin/busybox sh'
    echo '/bin/busybox --install -s'
    echo 'mount -t proc proc /proc && mount -t sysfs sys /sys && mount -t devtmpfs dev /dev'
    echo 'ln -s /proc/self/fd /dev/fd && ln -s fd/0 /dev/stdin && ln -s fd/1 /dev/stdout'
    echo 'export PATH=/bin:/sbin:/usr/bin:/usr/sbin'
    # The logger's queue as systemd sets it on a Debian device: with the kernel's 10 datagrams,
    # a busy host slows the emulated logger enough to miss records that a test waits for.
    echo 'echo 512 >/proc/sys/net/unix/max_dgram_qlen'
    sed -n "/^# $1: begin/,/^# $1: end/p" "$blocks" | sed "s|@ROOT@|$checkout|g; s|@BUILD@|$build|g"
    echo 'poweroff -f'
  } >"$fs/init"
  chmod +x "$fs/init"
  (cd "$fs" && find . | cpio -o -H newc --quiet | gzip -1) >"$work/$1.gz"
}

# Boots the initramfs $work/NAME.gz with MEM MB of RAM; true when its init reports no failure.
boot() {  # NAME MEM
  local log=$work/$1-$2.log start status
  echo "== booting $(basename "$vmlinuz") in qemu-system-arm with $2 MB (limit ${limit} s)"
  start=$(date +%s)
  timeout "$limit" qemu-system-arm -M virt -cpu cortex-a15 -smp 2 -m "$2" -nographic -no-reboot \
    -nic none -kernel "$vmlinuz" -initrd "$work/$1.gz" -append "console=ttyAMA0 quiet panic=-1" |
    tr -d '\r' | tee "$log" || true
  echo "== $(($(date +%s) - start)) s on the target kernel"
  status=$(sed -n 's/^target status: //p' "$log" | tail -n 1)
  [[ -n $status ]] || { echo "the target run did not finish: hung, crashed or timed out" >&2; return 1; }
  [[ $status == 0 ]]
}

[[ ${BASH_SOURCE[0]} == "$0" ]] || return 0

build=$checkout/build-arm-target
work=$build/target
rm -rf "$work/suite" "$work/small"
mkdir -p "$work/debs"

echo "== building the fully static ARM tool and tests"
cmake --preset arm-target >"$work/build.log" 2>&1 || { cat "$work/build.log" >&2; exit 1; }
cmake --build --preset arm-target -j "$(nproc)" --target rpm_parser rpm_parser_logfd rpm_tests \
  cli_tests fuzz_replay gen_packages >"$work/build.log" 2>&1 || { cat "$work/build.log" >&2; exit 1; }

if [[ ! -f $work/debs/unpacked-lpae ]]; then
  echo "== fetching Debian's armhf kernels (armmp, armmp-lpae) and busybox-static"
  dpkg --print-foreign-architectures | grep -qx armhf || dpkg --add-architecture armhf
  apt-get update -qq
  debs=(busybox-static:armhf)
  for flavour in armmp armmp-lpae; do
    kernel=$(apt-cache depends "linux-image-$flavour:armhf" | awk '/Depends:/ && !n++ {print $2}')
    debs+=("${kernel%:armhf}:armhf")
  done
  (cd "$work/debs" && apt-get download -q "${debs[@]}")
  for deb in "$work"/debs/*.deb; do dpkg-deb -x "$deb" "$work/debs/root"; done
  touch "$work/debs/unpacked-lpae"
fi
vmlinuz=$(ls "$work"/debs/root/boot/vmlinuz-*-armmp | head -n 1)
lpae=$(ls "$work"/debs/root/boot/vmlinuz-*-armmp-lpae | head -n 1)
busybox=$work/debs/root/bin/busybox

# The whole suite.
suite_tree suite
pack suite
failed=0
boot suite 1536 || failed=1

# Small devices: the tool, and the big bench package made here, as its generator alone would take
# most of a small device's memory.
mkdir -p "$work/small/bin"
cp "$build/rpm_parser" "$work/small/bin/"
qemu-arm "$build/bench/gen_packages" "$work/packages" >/dev/null
cp "$work/packages/bighdr.rpm" "$work/small/"
pack small
for mem in 128 256; do
  boot small "$mem" || failed=1
done
# The flavour most 32-bit boards of the last decade boot, built with transparent huge pages.
vmlinuz=$lpae
boot small 128 || failed=1
exit "$failed"

# What runs on the target, as the init script's body.
# suite: begin
cd @ROOT@
# The C library the tests run on, where they are linked to one.
[ ! -e /lib/arm-linux-gnueabihf/libc.so.6 ] || /lib/arm-linux-gnueabihf/libc.so.6 | head -n 1
syslogd -O /var/log/messages
passed=0 failed=0 names=
check() {  # NAME COMMAND...: one line of the summary
  echo "== $1"
  name=$1
  shift
  if "$@"; then passed=$((passed + 1)); else failed=$((failed + 1)); names="$names $name"; fi
}
check rpm_tests @BUILD@/tests/rpm_tests --gtest_brief=1
check cli_tests @BUILD@/tests/cli_tests --gtest_brief=1
check fuzz_corpus_replay env GLIBC_TUNABLES=glibc.malloc.tcache_count=0 \
  @BUILD@/fuzz/fuzz_replay fuzz/corpus tests/data
# The records busybox syslogd wrote are those the tool logged, one for one.
records() {
  for pkg in tests/data/*.rpm /nonexistent; do
    @BUILD@/rpm_parser -r "$pkg" -a print -k 1000 >/dev/null
    @BUILD@/tests/rpm_parser_logfd -r "$pkg" -a print -k 1000 3>>/tmp/logged >/dev/null
  done
  sleep 1
  sed -n 's/^.* user\.err rpm_parser\[[0-9]*\]: [^ ]*:[0-9]*: //p' /var/log/messages >/tmp/written
  tr '|' '\n' </tmp/logged | grep . >/tmp/wanted
  echo "$(wc -l </tmp/written) records written by syslogd"
  [ -s /tmp/written ] && diff /tmp/wanted /tmp/written
}
check syslogd_records records
# Started by a parent without PT_GNU_STACK, which leaks descriptors 7 and 8 to it: while the tool
# waits for the package's bytes, confined, no mapping of it is both writable and executable, as
# every data mapping of a program the parent runs otherwise is, and neither descriptor is open.
legacy_parent() {
  rm -f /tmp/fifo && mkfifo /tmp/fifo
  /bin/legacy @BUILD@/rpm_parser -r /tmp/fifo -a print -k 1000 >/tmp/name \
    7>>/tmp/leak 8</proc/version &
  pid=$!
  exec 9<>/tmp/fifo
  sleep 1
  other=$(/bin/legacy /bin/cat /proc/self/maps | awk '$2 ~ /wx/' | wc -l)
  wx=$(awk '$2 ~ /wx/' /proc/$pid/maps | wc -l)
  fds=$(ls /proc/$pid/fd | tr '\n' ' ')
  confined=$(grep -c '^Seccomp:.2' /proc/$pid/status)
  echo "parent's personality $(/bin/legacy /bin/cat /proc/self/personality), its child's writable" \
    "and executable mappings: $other; the tool's personality $(cat /proc/$pid/personality)," \
    "writable and executable mappings: $wx, descriptors: $fds, confined: $confined"
  cat tests/data/hello-2.1-3.noarch.rpm >&9
  exec 9>&-
  wait $pid
  echo "printed: $(cat /tmp/name)"
  [ "$other" -gt 0 ] && [ "$wx" = 0 ] && [ "$confined" = 1 ] && [ "$(cat /tmp/name)" = hello ] &&
    ! echo " $fds" | grep -qE ' [78] '
}
check legacy_parent legacy_parent
# The big header and two crafted files of arrays over a 256 MiB store, one of empty strings but
# for an "a" at its end (a hole), one of "a" and its NUL 2^27 times, answer within the memory
# bound that holds everywhere: 2.5 times the bytes read plus 16 MiB. No huge pages here.
arrays() {  # COUNT: the lead, and a section of two arrays of COUNT strings over a 256 MiB store
  head -c 96 /dev/zero
  printf '\216\255\350\001\0\0\0\0\0\0\0\002\020\0\0\0'
  for tag in '\350' '\351'; do printf "\\0\\0\\003$tag\\0\\0\\0\\010\\0\\0\\0\\0$1"; done
}
big() (  # in a subshell: its directory is its own
  mkdir -p /tmp/big && cd /tmp/big && @BUILD@/bench/gen_packages . >/dev/null || return 1
  rm tiny.rpm medium.rpm bigpayload.rpm
  arrays '\017\377\377\377' >empty_arrays.rpm && truncate -s 268435599 empty_arrays.rpm &&
    printf a >>empty_arrays.rpm
  { arrays '\010\0\0\0' && yes a | tr '\n' '\0' | head -c 268435456; } >short_strings.rpm
  for run in "bighdr 12" "empty_arrays 0" "short_strings 268435455"; do  # bytes printed
    set -- $run
    f=$1
    time -v -o time @BUILD@/rpm_parser -r $f.rpm -a print -k 1000 | wc -c >bytes
    # busybox takes ru_maxrss, which is in KiB, for a count of 4 KiB pages
    rss=$(($(sed -n 's/.*Maximum resident set size (kbytes): //p' time) / 4))
    size=$(($(wc -c <$f.rpm) / 1024))
    echo "$f: $(cat bytes) bytes printed, peak RSS $rss KiB, file $size KiB"
    rm $f.rpm
    [ "$(cat bytes)" = "$2" ] && [ "$rss" -le $((size * 5 / 2 + 16384)) ] || return 1
  done
)
check big_packages big
echo "$passed passed, $failed failed"
[ -z "$names" ] || echo "failed:$names"
echo "target status: $failed"
# suite: end

# What runs on a small device: stores of half, three quarters and all of the RAM (sparse files)
# are refused with status 255 and their records; sections just under the share and the big bench
# package answer; each read directly and through a pipe, and peaking within a quarter of the RAM
# plus 8 MiB, and the kernel kills nothing for want of memory. Then, under cgroup v2, a service
# holding 40 MiB of a 64 MiB cgroup asks about a 100 MiB store and lives, its cgroup's OOM killer
# idle; and a service that starts four runs at once, more than the RAM holds, outlives them.
# small: begin
syslogd -O /var/log/messages
ram=$(awk '/^MemTotal:/ {print $2}' /proc/meminfo)
share=$((ram / 4))
bound=$((share + 8192))
echo "$(uname -r), MemTotal $ram KiB: a run may hold $share KiB and peak at $bound KiB"
passed=0 failed=0 refused=0
count() {  # true or false: one line of the summary
  if "$@"; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
}
be32() {  # N: four big-endian bytes
  printf "$(printf '\\%03o' $(($1 >> 24 & 255)) $(($1 >> 16 & 255)) $(($1 >> 8 & 255)) $(($1 & 255)))"
}
# Files of a lead and sections, each a store of KIB KiB whose one entry, tag 1000 of TYPE (6 a
# STRING, kept as it points into its section; 4 an INT32), finds "a" there and then zeros.
craft() {  # FILE [TYPE KIB]...
  f=$1
  shift
  head -c 96 /dev/zero >$f
  while [ $# -gt 0 ]; do
    { printf '\216\255\350\001\0\0\0\0\0\0\0\001'; be32 $(($2 * 1024))
      printf '\0\0\003\350'; be32 $1; printf '\0\0\0\0\0\0\0\001a'; } >>$f
    truncate -s $(($(stat -c %s $f) - 1 + $2 * 1024)) $f
    shift 2
  done
}
run() {  # NAME STATUS FILE [pipe]: one run, directly or through a pipe
  if [ "$4" = pipe ]; then
    cat "$3" | time -v -o /tmp/time rpm_parser -r /dev/stdin -a print -k 1000 >/tmp/out
  else
    time -v -o /tmp/time rpm_parser -r "$3" -a print -k 1000 >/tmp/out
  fi
  got=$?
  # busybox takes ru_maxrss, which is in KiB, for a count of 4 KiB pages
  rss=$(($(sed -n 's/.*Maximum resident set size (kbytes): //p' /tmp/time) / 4))
  echo "$1, ${4:-file}: status $got, $(wc -c </tmp/out) bytes printed, peak RSS $rss KiB"
  [ "$got" = 255 ] && refused=$((refused + 1))
  count [ "$got" = "$2" -a "$rss" -le "$bound" ]
}
both() {  # NAME STATUS FILE
  run "$@"
  run "$@" pipe
}
for part in "1 2 half" "3 4 three_quarters" "1 1 all"; do
  set -- $part
  craft /tmp/store.rpm 6 $((ram / $2 * $1))
  both "a store of $3 the RAM" 255 /tmp/store.rpm
done
craft /tmp/store.rpm 4 $((share - 8)) 4 $((share - 12)) 4 $((share - 16))
both "three sections just under the share" 0 /tmp/store.rpm
craft /tmp/store.rpm 6 $((share * 3 / 8)) 4 $((share - share * 3 / 8 - 16))
both "a block kept, then a section just under the rest" 0 /tmp/store.rpm
both "the big header" 0 /bighdr.rpm
sleep 1
# Each refused run left its cause and the command line's record.
for record in "nb [0-9]* over memory limit [0-9]*, 0 held." "Load rpm '.*' failed."; do
  n=$(grep -c "rpm_parser\[[0-9]*\]: [^ ]*:[0-9]*: $record" /var/log/messages)
  echo "$n records: $record"
  count [ "$n" = "$refused" ]
done
dmesg | grep -iE 'out of memory|oom|killed process'
count [ $? = 1 ]

# A service's cgroup of 64 MiB, 40 of them held in its tmpfs: the run's share is 16 MiB.
mkdir -p /sys/fs/cgroup && mount -t cgroup2 none /sys/fs/cgroup &&
  echo +memory >/sys/fs/cgroup/cgroup.subtree_control && mkdir /sys/fs/cgroup/service &&
  echo $((64 << 20)) >/sys/fs/cgroup/service/memory.max
count [ $? = 0 ]
craft /tmp/store.rpm 6 102400
mkdir /held && mount -t tmpfs -o size=48m held /held
sh -c 'echo $$ >/sys/fs/cgroup/service/cgroup.procs && head -c 41943040 /dev/zero >/held/40MiB &&
  rpm_parser -r /tmp/store.rpm -a print -k 1000; echo "service alive, tool status $?"' >/tmp/out
umount /held
sleep 1
cat /tmp/out /sys/fs/cgroup/service/memory.events
count grep -q "service alive, tool status 255" /tmp/out
count grep -q "^oom_kill 0" /sys/fs/cgroup/service/memory.events
count grep -q "rpm_parser\[[0-9]*\]: [^ ]*:[0-9]*: nb [0-9]* over memory limit 16777216, 0 held." \
  /var/log/messages
# Four runs at once, each within its share, more than the RAM holds with the service's 16 MB: the
# kernel ends runs, never the service.
craft /tmp/store.rpm 4 $((share - 8))
sh -c 'held=$(head -c 16000000 /dev/zero | tr "\0" s)
  for i in 1 2 3 4; do rpm_parser -r /tmp/store.rpm -a print -k 1000 >/dev/null & pids="$pids $!"; done
  for pid in $pids; do wait $pid; statuses="$statuses $?"; done
  echo "service alive with ${#held} bytes, runs ended with$statuses"' >/tmp/out
cat /tmp/out
count grep -q "service alive with 16000000 bytes" /tmp/out
dmesg | grep -i 'killed process' | grep -v 'rpm_parser'
count [ $? = 1 ]
echo "$passed passed, $failed failed"
echo "target status: $failed"
# small: end
