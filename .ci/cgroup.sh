#!/usr/bin/env bash
# SPDX-FileCopyrightText: The rpm_parser authors
# SPDX-License-Identifier: Apache-2.0
# The memory share on this machine's kernel, as a service's memory cgroup sets it: in a child of
# the cgroup this script runs in (cgroup v1's memory controller, or v2's), a service holding
# 40 MiB of a 64 MiB cgroup asks about a kept store of 100 MiB; the tool ends with 255 and its
# record, the service lives and the cgroup's OOM killer never runs. In a cgroup of a 128 MB
# device's MemTotal, sections just under its quarter, by file and through a pipe, peak within it
# plus 8 MiB; with no limit, two 256 MiB sections through a pipe peak within 640 MiB plus 8 MiB;
# each with transparent huge pages always, on advice and never, where they can be set (and set
# back as they were at exit).
# Usage: .ci/cgroup.sh BUILD (a build with tests/rpm_parser_logfd, whose records go to
# descriptor 3). Needs root, GNU time and perl; skips, saying why, where no memory cgroup can be
# made. Files go to a folder of its own in $TMPDIR, removed at exit with the child cgroup.
set -euo pipefail

tool=$(cd "$1" && pwd)/tests/rpm_parser_logfd
work=$(mktemp -d)
cg=
cleanup() {
  [[ -z $cg ]] || rmdir "$cg" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# The child cgroup, and the names of its limit and of the file that counts its OOM kills.
own=$(sed -n 's/^[0-9]*:\([^:]*,\)\{0,1\}memory\(,[^:]*\)\{0,1\}:\(.*\)/\3/p' /proc/self/cgroup)
if [[ -n $own && -d /sys/fs/cgroup/memory$own ]]; then
  cg=/sys/fs/cgroup/memory$own/rpm_parser_ci.$$ max=memory.limit_in_bytes events=memory.oom_control
elif grep -qw memory /sys/fs/cgroup/cgroup.subtree_control 2>/dev/null; then
  own=$(sed -n 's/^0:://p' /proc/self/cgroup)
  cg=/sys/fs/cgroup${own%/}/rpm_parser_ci.$$ max=memory.max events=memory.events
else
  echo "cgroup: no memory controller to make a child of here; skipped"
  exit 0
fi
mkdir "$cg" || { cg=; echo "cgroup: can't make a child cgroup here; skipped"; exit 0; }
ooms() { sed -n 's/^oom_kill //p' "$cg/$events"; }

# Files of a lead and sections, each a store of DL bytes at whose start COUNT entries of TYPE
# (tags from 1000 on) find "a" and zeros, or, for the type "full", a string filling the store: a
# string's section is kept, as its value points into it, and the section of a short one also
# keeps all but its first byte unused; an INT32's section is not kept. Sparse where zeros are.
craft() {  # FILE [TYPE COUNT DL]...
  perl -e '
    open(my $f, ">", shift) or die; binmode $f;
    print $f "\0" x 96;
    while (my ($type, $count, $dl) = splice(@ARGV, 0, 3)) {
      print $f pack("a8NN", "\x8E\xAD\xE8\x01", $count, $dl);
      print $f pack("NNNN", 1000 + $_, $type eq "full" ? 6 : $type, 0, 1) for 0 .. $count - 1;
      my $a = $type eq "full" ? $dl - 1 : 1;
      print $f "a" x ($a % 65536), ("a" x 65536) x ($a >> 16);
      truncate($f, tell($f) - $a + $dl + (-(16 * $count + $dl) & 7)) or die;
      seek($f, 0, 2);
    }' "$@"
}
failed=0
# Runs the tool on FILE, directly or through a pipe, with the shell text PREFIX before it: status,
# bytes printed, peak RSS in KiB; its records in $work/records.
run() {  # PREFIX FILE file|pipe
  local cmd="exec \"\$0\" -r \"\$1\" -a print -k 1000 3>$work/records"
  [[ $3 == file ]] || cmd="cat \"\$1\" | $cmd -r /dev/stdin"
  set +e
  /usr/bin/time -f %M -o "$work/rss" sh -c "$1$cmd" "$tool" "$2" >"$work/out"
  status=$?
  set -e
  echo "$status $(wc -c <"$work/out") $(tail -n 1 "$work/rss")"
}
check() {  # TEXT CONDITION...
  if "${@:2}"; then echo "pass: $1"; else echo "FAIL: $1"; failed=1; fi
}
in_cg="echo \$\$ >$cg/cgroup.procs && "

# A service holding 40 MiB of its 64 MiB asks about a kept store of 100 MiB.
echo $((64 << 20)) >"$cg/$max"
craft "$work/store.rpm" 6 1 $((100 << 20))
before=$(ooms)
cat >"$work/service.pl" <<'PERL'
vec(my $held, (40 << 20) - 1, 8) = 1;  # 40 MiB, every page written
system(@ARGV);
print "alive ", $? >> 8, "\n";
PERL
sh -c "${in_cg}exec perl \"\$@\"" sh "$work/service.pl" "$tool" -r "$work/store.rpm" -a print \
  -k 1000 3>"$work/records" >"$work/out" || true
read -r alive status <"$work/out" || alive=killed
echo "64 MiB cgroup, service holding 40 MiB: tool status $status, service $alive, OOM kills $(($(ooms) - before))"
check "the tool refuses the store, with its records" \
  grep -Eq "^\|nb [0-9]+ over memory limit 16777216, 0 held\.\|Load rpm '.*' failed\.$" "$work/records"
check "the service lives" [ "$alive $status" = "alive 255" ]
check "the cgroup's OOM killer never ran" [ "$(ooms)" = "$before" ]

# The peaks with transparent huge pages as they are, and in each mode where they can be set.
thp=/sys/kernel/mm/transparent_hugepage/enabled
modes=current
if [[ -w $thp ]]; then
  was=$(sed 's/.*\[\(.*\)\].*/\1/' "$thp")
  trap 'echo "$was" >"$thp"; cleanup' EXIT
  modes="always madvise never"
fi
ram=111116
bound=$((ram / 4 + 8192))
craft "$work/three.rpm" 4 1 $((27600 << 10)) 4 1 $((27400 << 10)) 4 1 $((27700 << 10))
craft "$work/kept.rpm" 6 1 $((10583 << 10)) 4 1 $((16896 << 10))
craft "$work/two.rpm" full 1 $((256 << 20)) 7 65535 $((256 << 20))
for mode in $modes; do
  [[ $mode == current ]] || echo "$mode" >"$thp"
  echo "transparent huge pages: $(cat "$thp" 2>/dev/null || echo none)"
  # A 128 MB device's MemTotal: sections just under a quarter of it peak within it plus 8 MiB.
  echo $((ram << 10)) >"$cg/$max"
  for f in three kept; do
    for how in file pipe; do
      read -r status bytes rss < <(run "$in_cg" "$work/$f.rpm" "$how")
      echo "cgroup of $ram KiB, $f, $how: status $status, $bytes bytes printed, peak RSS $rss KiB (bound $bound)"
      check "$f by $how within a quarter plus 8 MiB" [ "$status" = 0 -a "$rss" -le "$bound" ]
    done
  done
  # No limit: a string filling a 256 MiB store, then 65,535 BIN entries over another, by pipe.
  read -r status bytes rss < <(run "" "$work/two.rpm" pipe)
  echo "no limit, two 256 MiB sections, pipe: status $status, $bytes bytes printed, peak RSS $rss KiB"
  check "within 640 MiB plus 8 MiB" [ "$status" = 0 -a "$rss" -le $(((640 + 8) << 10)) ]
done
exit "$failed"
