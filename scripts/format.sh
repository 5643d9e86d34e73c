#!/usr/bin/env bash
# Formats every C++ file of the source with .clang-format, or with --check
# lists the files that differ and fails.
#
# The files are those git tracks in a git checkout (a checkout without git
# installed is an error), or every *.cpp and *.h outside build/ in a source
# tree that is no checkout (an unpacked archive). An empty list is an error:
# clang-format is never left to read standard input.
set -euo pipefail
cd "$(dirname "$0")/.."
clang_format=${CLANG_FORMAT:-clang-format}
fail() { echo "format: $*" >&2; exit 1; }
if [[ -e .git ]]; then
  command -v git >/dev/null || fail "this is a git checkout, but git is not installed (scripts/install-deps.sh installs it)"
  mapfile -d '' files < <(git ls-files -z -- '*.cpp' '*.h')
else
  mapfile -d '' files < <(find . -path ./build -prune -o -type f \( -name '*.cpp' -o -name '*.h' \) -print0 | sort -z)
fi
((${#files[@]} > 0)) || fail "no C++ files found to format in $PWD"
if [[ "${1:-}" == "--check" ]]; then
  "$clang_format" --dry-run -Werror -- "${files[@]}" </dev/null
  echo "format: ${#files[@]} files match .clang-format" >&2
else
  "$clang_format" -i -- "${files[@]}" </dev/null
fi
