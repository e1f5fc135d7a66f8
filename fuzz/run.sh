#!/usr/bin/env bash
# SPDX-FileCopyrightText: The rpm_parser authors
# SPDX-License-Identifier: Apache-2.0
# Fuzzes the reader for SECONDS (default 60) with libFuzzer, AddressSanitizer and UBSan.
# Builds the target first if needed; exits non-zero on any crash, leak, sanitizer report or
# timeout, leaving the input that caused it in build-fuzz/artifacts/.
set -euo pipefail
seconds="${1:-60}"
jobs="${FUZZ_JOBS:-1}"
top="$(cd "$(dirname "$0")/.." && pwd)"
out="$top/build-fuzz"

CXX=clang++ cmake -S "$top" -B "$out" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRPM_BUILD_FUZZ=ON >/dev/null
cmake --build "$out" -j "$(nproc)" --target header_fuzz >/dev/null

# Seeds: the committed corpus and the sample packages.
mkdir -p "$out/corpus" "$out/artifacts"
cp -n "$top"/fuzz/corpus/* "$top"/tests/data/*.rpm "$out/corpus/" 2>/dev/null || true

cd "$out"
status=0
./fuzz/header_fuzz corpus -dict="$top/fuzz/rpm.dict" -max_total_time="$seconds" -timeout=10 \
    -rss_limit_mb=1024 -max_len=262144 -jobs="$jobs" -workers="$jobs" \
    -artifact_prefix=artifacts/ -print_final_stats=1 -error_exitcode=77 -timeout_exitcode=78 \
    >fuzz.log 2>&1 || status=$?
[ "$jobs" -gt 1 ] && cat fuzz-*.log >>fuzz.log 2>/dev/null
grep -E '^(stat::|Done|#[0-9]+ *DONE)' fuzz.log | tail -n 12 || true
if [ "$status" -ne 0 ] || grep -qE 'ERROR: (libFuzzer|AddressSanitizer|LeakSanitizer)|runtime error|SUMMARY:' fuzz.log; then
  echo "fuzz: FAILED (status $status); see $out/fuzz.log and $out/artifacts/" >&2
  grep -E 'ERROR|runtime error|SUMMARY|Test unit written' fuzz.log | head -n 20 >&2
  exit 1
fi
echo "fuzz: ${seconds}s clean"
