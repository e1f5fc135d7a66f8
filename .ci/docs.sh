#!/usr/bin/env bash
# Checks what the README and the manual page say against what the code does, where a machine can:
# the common tags are the same in both; every message format the code can log is in the manual
# page's table, under the file that logs it, and nothing else is; every one is in the README's
# table of messages too; and every command the README shows is either run by .ci/readme.sh or by
# .ci/run, or says why it is not.
set -euo pipefail
cd "$(dirname "$0")/.."
failed=0
fail() { echo "docs: $*" >&2; failed=1; }

# The manual page carries the README's table of common tags: the same tags in the same order.
readme_tags=$(sed -n '/^### Common tags/,/^## /s/^| \([0-9][0-9, ]*\) |.*/\1/p' README.md)
man_tags=$(sed -n '/^\.SS Common tags/,/^\.S[HS] /s/^\.B \([0-9][0-9, ]*\)$/\1/p' doc/rpm_parser.1.in)
if [[ -z $readme_tags || $readme_tags != "$man_tags" ]]; then
  diff <(echo "$readme_tags") <(echo "$man_tags") >&2 || true
  fail "common tags: README.md and doc/rpm_parser.1.in differ"
fi

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

# The README's table gives placeholders in words (N, PATH, ERROR) and limits in figures: both
# sides read alike once every placeholder and number is a '#'.
shape() { sed 's/%[-.0-9]*[a-z]*/#/g; s/\b[A-Z][A-Z]*\b/#/g; s/[0-9][0-9]*/#/g' | sort -u; }
readme=$(sed -n '/^## Log$/,/^## /s/^| \(`.*`\) | .*/\1/p' README.md | grep -o '`[^`]*`' | tr -d '`' | shape)
code_shapes=$(cut -f 2 <<<"$code" | shape)
if [[ $code_shapes != "$readme" ]]; then
  diff <(echo "$code_shapes") <(echo "$readme") >&2 || true
  fail "messages: the code (<) and the README's table (>) differ"
fi

# Every block of shell commands in the README runs in CI as written: .ci/readme.sh runs those
# marked "ci: run"; .ci/run itself runs those marked "ci: in .ci/run" (sudo and optional
# arguments in brackets aside).
while read -r kind command; do
  if [[ $kind == unmarked ]]; then
    fail "README line $command: a block of commands that CI does not run"
  elif ! grep -qF -- "$command" .ci/run; then
    fail "README: '$command' is marked as run by .ci/run, which does not"
  fi
done < <(awk '
  /^<!-- ci: / { mark = $0; next }
  /^```sh$/ { inside = 1; if (mark == "") print "unmarked " NR; next }
  /^```/ { inside = 0; mark = ""; next }
  inside && mark ~ /in \.ci\/run/ { sub(/^sudo /, ""); sub(/ *\[[^]]*\].*$/, ""); sub(/ *#.*$/, ""); print "run " $0 }
  !inside && !/^$/ { mark = "" }' README.md)

[[ $failed == 0 ]] && echo "docs: common tags, messages and the README's commands agree with the code and CI"
exit "$failed"
