#!/usr/bin/env bash
# SPDX-FileCopyrightText: The rpm_parser authors
# SPDX-License-Identifier: Apache-2.0
# Adds the SPDX header, the copyright holder and the license, to every file of the checkout that
# lacks one, in its own comment syntax; files that can't carry one are in .reuse/dep5. Run it
# after adding files; `reuse lint` in CI fails on any file left without.
set -euo pipefail
cd "$(dirname "$0")/.."
# REUSE-IgnoreStart: the tags below are what this script writes, not this file's own.
holder="SPDX-FileCopyrightText: The rpm_parser authors"
license="SPDX-License-Identifier: Apache-2.0"

git ls-files | while read -r f; do
  case $f in tests/data/*.rpm | fuzz/corpus/* | *.json | LICENSES/* | .reuse/*) continue ;; esac
  head -n 5 "$f" | grep -q 'SPDX-License-Identifier: ' && continue
  case $f in
    *.cpp | *.h | *.c) header="// $holder\n// $license" at=0 ;;
    *.md) header="<!-- $holder -->\n<!-- $license -->" at=0 ;;
    *.1.in) header=".\\\\\" $holder\n.\\\\\" $license" at=1 ;;  # after the line that asks for tbl
    NEWS) header="$holder\n$license\n" at=0 ;;
    *) header="# $holder\n# $license" at=0 ;;  # shell, CMake, YAML, .gitignore, the fuzz dictionary
  esac
  [[ $at == 0 && $(head -c 2 "$f") == '#!' ]] && at=1  # after the interpreter line
  awk -v at="$at" -v header="$header" 'NR == at + 1 { print header } { print }
    END { if (NR < at + 1) print header }' "$f" >"$f.spdx" && cat "$f.spdx" >"$f" && rm "$f.spdx"
  echo "spdx: $f"
done
# REUSE-IgnoreEnd
