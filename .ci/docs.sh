#!/usr/bin/env bash
# SPDX-FileCopyrightText: The rpm_parser authors
# SPDX-License-Identifier: Apache-2.0
# Checks what the documents say against what the code does, where a machine can: every message
# format the code can log is in the manual page, under the file that logs it, and nothing else
# is; the README names only messages the code logs, and a handful at most; and every command
# block of the README and of doc/*.md is either run by .ci/readme.sh or by .ci/run.
set -euo pipefail
cd "$(dirname "$0")/.."
failed=0
fail() { echo "docs: $*" >&2; failed=1; }
docs=(README.md doc/*.md)

# "FILE<tab>FORMAT" for every record the code can write; the line feed that ends one is dropped.
code=$(grep -o 'RPM_LOG[A-Z_]*("\([^"\\]\|\\.\)*"' rpm_parser/*.cpp |
  sed 's/^\([^:]*\):RPM_LOG[A-Z_]*("\(.*\)"$/\1\t\2/; s/\\n$//' | sort -u)
# The same from the manual page: the first line of each tagged paragraph under a subsection that
# names its file.
man=$(awk '
  /^\.SS .*\(rpm_parser\/.*\.cpp\)$/ { file = $0; sub(/^.*\(/, "", file); sub(/\)$/, "", file); next }
  /^\.S[HS] / { file = ""; next }
  file != "" && tp && /^\.B / { sub(/^\.B /, ""); gsub(/\\\(aq/, "\047"); gsub(/\\-/, "-"); print file "\t" $0 }
  { tp = /^\.TP/ }' doc/rpm_parser.1.in | sort -u)
if [[ -z $code || $code != "$man" ]]; then
  diff <(echo "$code") <(echo "$man") >&2 || true
  fail "messages: the code (<) and the manual page's DIAGNOSTICS (>) differ"
fi

# The README gives messages in backquotes, placeholders in words (N, PATH, ERROR): a quoted text
# that reads like a message once every placeholder and number is a '#' must be one the code logs.
shape() { sed 's/%[-.0-9]*[a-z]*/#/g; s/\b[A-Z][A-Z]*\b/#/g; s/[0-9][0-9]*/#/g' | sort -u; }
code_shapes=$(cut -f 2 <<<"$code" | shape)
quoted=$(grep -o '`[^`]*\(failed\|fail\|limit\|store\|budget\|Invalid\|left out\)[^`]*`' README.md |
  tr -d '`' | shape)
unknown=$(comm -13 <(echo "$code_shapes") <(echo "$quoted") | grep . || true)
[[ -z $unknown ]] || fail "README names messages the code does not log: $unknown"
count=$(grep . <<<"$quoted" | wc -l)
((count <= 5)) || fail "README names $count messages; the manual page is where they all stand"

# Every block of shell commands runs in CI as written: .ci/readme.sh runs those marked
# "ci: run"; .ci/run itself runs those marked "ci: in .ci/run" (optional arguments in brackets
# and comments aside).
for doc in "${docs[@]}"; do
  while read -r kind command; do
    if [[ $kind == unmarked ]]; then
      fail "$doc line $command: a block of commands that CI does not run"
    elif ! grep -qF -- "$command" .ci/run; then
      fail "$doc: '$command' is marked as run by .ci/run, which does not"
    fi
  done < <(awk '
    /^<!-- ci: / { mark = $0; next }
    /^```sh$/ { inside = 1; if (mark == "") print "unmarked " NR; next }
    /^```/ { inside = 0; mark = ""; next }
    inside && mark ~ /in \.ci\/run/ { sub(/ *\[[^]]*\].*$/, ""); sub(/ *#.*$/, ""); print "run " $0 }
    !inside && !/^$/ { mark = "" }' "$doc")
done

# The README's sample record names the line that logs it.
line=$(grep -n '"rpm magic info failed."' rpm_parser/rpm_parser.cpp | cut -d: -f1)
grep -q "rpm_parser\.cpp:$line: rpm magic info failed\." README.md ||
  fail "README.md: the sample record's line is not rpm_parser/rpm_parser.cpp:$line"

[[ $failed == 0 ]] && echo "docs: messages, the README's and doc/'s commands agree with the code and CI"
exit "$failed"
