#!/usr/bin/env bash
# Runs the test suite on the target's own kernel: Debian 12's 32-bit ARM kernel boots in
# qemu-system-arm from an initramfs that holds busybox, the fully static ARM build of the tool and
# of its tests, and the test data, each at the path the build gave it. There the tests run with
# busybox syslogd on /dev/log, the records it wrote are checked against those the tool logged,
# and the big bench package and crafted array files are read under busybox's `time -v`. Every
# line comes back on the serial console; the run ends with "N passed, N failed" and the status.
# Usage: .ci/target.sh [SECONDS] (the time limit of the boot, default 1800).
# Needs root (the armhf architecture is added to dpkg to download the kernel and busybox-static,
# which are unpacked, never installed), qemu-system-arm, g++-arm-linux-gnueabihf and cpio.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
limit=${1:-1800}
build=$root/build-arm-target
work=$build/target
rm -rf "$work/rootfs"
mkdir -p "$work/debs" "$work/rootfs"

echo "== building the fully static ARM tool and tests"
cmake --preset arm-target >"$work/build.log" 2>&1 || { cat "$work/build.log" >&2; exit 1; }
cmake --build --preset arm-target -j "$(nproc)" --target rpm_parser rpm_parser_logfd rpm_tests \
  cli_tests fuzz_replay gen_packages >"$work/build.log" 2>&1 || { cat "$work/build.log" >&2; exit 1; }

if [[ ! -f $work/debs/unpacked ]]; then
  echo "== fetching Debian's armhf kernel and busybox-static"
  dpkg --print-foreign-architectures | grep -qx armhf || dpkg --add-architecture armhf
  apt-get update -qq
  kernel=$(apt-cache depends linux-image-armmp:armhf | awk '/Depends:/ {print $2; exit}')
  (cd "$work/debs" && apt-get download -q "${kernel%:armhf}:armhf" busybox-static:armhf)
  for deb in "$work"/debs/*.deb; do dpkg-deb -x "$deb" "$work/debs/root"; done
  touch "$work/debs/unpacked"
fi
vmlinuz=$(ls "$work"/debs/root/boot/vmlinuz-*-armmp | head -n 1)

# The tree of the initramfs: busybox, and what the tests name at the paths they name it by. It is
# the target's root file system, a tmpfs, /tmp included.
fs=$work/rootfs
mkdir -p "$fs"/{bin,sbin,usr/bin,usr/sbin,proc,sys,dev,tmp,var/log}
cp "$work/debs/root/bin/busybox" "$fs/bin/"
for path in "$build"/rpm_parser "$build"/tests/{rpm_tests,cli_tests,rpm_parser_logfd} \
    "$build"/fuzz/fuzz_replay "$build"/bench/gen_packages "$root"/tests/data \
    "$root"/fuzz/corpus /usr/share/zoneinfo/Etc/GMT-14; do
  mkdir -p "$fs$(dirname "$path")"
  cp -r "$path" "$fs$path"
done
cat >"$fs/init" <<EOF
#!/bin/busybox sh
/bin/busybox --install -s
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
ln -s /proc/self/fd /dev/fd && ln -s fd/0 /dev/stdin && ln -s fd/1 /dev/stdout
export PATH=/bin:/sbin:/usr/bin:/usr/sbin
$(sed -n '/^# target: begin/,/^# target: end/p' "$0" | sed "s|@ROOT@|$root|g; s|@BUILD@|$build|g")
poweroff -f
EOF
chmod +x "$fs/init"
(cd "$fs" && find . | cpio -o -H newc --quiet | gzip -1) >"$work/initrd.gz"

echo "== booting $(basename "$vmlinuz") in qemu-system-arm (limit ${limit} s)"
log=$work/console.log
start=$(date +%s)
timeout "$limit" qemu-system-arm -M virt -cpu cortex-a15 -smp 2 -m 1536 -nographic -no-reboot -nic none \
  -kernel "$vmlinuz" -initrd "$work/initrd.gz" -append "console=ttyAMA0 quiet panic=-1" |
  tr -d '\r' | tee "$log" || true
echo "== $(($(date +%s) - start)) s on the target kernel"
status=$(sed -n 's/^target status: //p' "$log" | tail -n 1)
[[ -n $status ]] || { echo "the target run did not finish: hung, crashed or timed out" >&2; exit 1; }
exit "$status"

# What runs on the target, as the init script's body.
# target: begin
cd @ROOT@
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
# target: end
