#!/usr/bin/env bash
# Formats every tracked C++ file with .clang-format, or with --check lists
# the files that differ and fails.
set -euo pipefail
cd "$(dirname "$0")/.."
clang_format=${CLANG_FORMAT:-clang-format}
mapfile -d '' files < <(git ls-files -z -- '*.cpp' '*.h')
if [[ "${1:-}" == "--check" ]]; then
  "$clang_format" --dry-run -Werror "${files[@]}"
else
  "$clang_format" -i "${files[@]}"
fi
