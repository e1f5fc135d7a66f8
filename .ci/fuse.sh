#!/usr/bin/env bash
# SPDX-FileCopyrightText: The rpm_parser authors
# SPDX-License-Identifier: Apache-2.0
# Real read errors and a standard output that takes nothing reach the tool: a small FUSE file
# system serves the sample package as /N, whose reads fail with EIO from byte N on, and /w, whose
# writes take 0 bytes. An error inside the signature's index, or the main header's preamble, dl,
# index or store, ends the run with status 255, nothing printed and the error's record; the same
# file read whole prints the name; a write of 0 bytes fails within a second. Needs root, /dev/fuse
# and python3-fusepy; skips with a message elsewhere.
# Usage: .ci/fuse.sh [BUILD] (default: build, the release build with its tests).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
pkg=tests/data/hello-2.1-3.noarch.rpm
if [[ ! -c /dev/fuse || $(id -u) != 0 ]] || ! /usr/bin/python3 -c 'import fusepy' 2>/dev/null; then
  echo "fuse: skipped: needs root, /dev/fuse and python3-fusepy"
  exit 0
fi
mnt=$(mktemp -d)
/usr/bin/python3 - "$mnt" "$pkg" <<'EOF' &
import errno, sys, fusepy

class Failing(fusepy.Operations):
    def __init__(self, data):
        self.data = data

    def getattr(self, path, fh=None):
        if path == "/":
            return {"st_mode": 0o40755, "st_nlink": 2}
        if path == "/w" or path[1:].isdigit():
            size = 0 if path == "/w" else len(self.data)
            return {"st_mode": 0o100666, "st_nlink": 1, "st_size": size}
        raise fusepy.FuseOSError(errno.ENOENT)

    def read(self, path, size, offset, fh):  # bytes up to N, then EIO
        fail = int(path[1:])
        if offset >= fail:
            raise fusepy.FuseOSError(errno.EIO)
        return self.data[offset:min(offset + size, fail)]

    def write(self, path, data, offset, fh):
        return 0

# direct_io: each read and write reaches the server as the tool made it, short ones included.
fusepy.FUSE(Failing(open(sys.argv[2], "rb").read()), sys.argv[1], foreground=True,
            nothreads=True, direct_io=True)
EOF
server=$!
trap 'umount "$mnt" 2>/dev/null; wait $server; rmdir "$mnt"' EXIT
size=$(stat -c %s "$pkg")
for _ in $(seq 50); do [[ -e $mnt/$size ]] && break; sleep 0.1; done

be32() {  # OFFSET: the big-endian integer there
  od -An -tu1 -j "$1" -N 4 "$pkg" | awk '{ print $1 * 16777216 + $2 * 65536 + $3 * 256 + $4 }'
}
main=$((112 + 16 * $(be32 104) + $(be32 108)))
main=$(((main + 7) / 8 * 8))  # after the signature's fill
failed=0
check() {  # WHAT WANT-STATUS WANT-OUTPUT GOT-STATUS GOT-OUTPUT RECORDS
  echo "$1: status $4, printed '$5', records $6"
  [[ $4 == "$2" && $5 == "$3" ]] || { echo "fuse: $1: want status $2, '$3'" >&2; failed=1; }
  [[ $2 == 0 || $6 == *"Input/output error."* ]] || {
    echo "fuse: $1: no error record" >&2
    failed=1
  }
}
for at in "signature index $((112 + 20))" "main preamble $((main + 4))" "main dl $((main + 13))" \
    "main index $((main + 16 + 20))" "main store $((main + 16 + 16 * $(be32 $((main + 8))) + 10))" \
    "whole file $size"; do
  n=${at##* }
  out=$("$build/rpm_parser" -r "$mnt/$n" -a print -k 1000) && status=0 || status=$?
  records=$("$build/tests/rpm_parser_logfd" -r "$mnt/$n" -a print -k 1000 3>&1 >/dev/null || true)
  if [[ $n == "$size" ]]; then want=(0 hello); else want=(255 ""); fi
  check "EIO from byte $n, $at" "${want[@]}" "$status" "$out" "$records"
done
start=$(date +%s%N)
timeout 5 "$build/rpm_parser" -r "$pkg" -a print -k 1000 >>"$mnt/w" && status=0 || status=$?
ms=$((($(date +%s%N) - start) / 1000000))
records=$(timeout 5 "$build/tests/rpm_parser_logfd" -r "$pkg" -a print -k 1000 3>&1 >>"$mnt/w" \
  || true)
check "a write of 0 bytes, in $ms ms" 255 "" "$status" "" "$records"
((ms < 1000)) || { echo "fuse: a write of 0 bytes took $ms ms" >&2; failed=1; }
[[ $failed == 0 ]] && echo "fuse: read errors and a write of 0 bytes end the run as failures"
exit "$failed"
