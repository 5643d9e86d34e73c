#!/usr/bin/env bash
# Fails when a C++ file of the trust code (platform/posix/wintrust and
# platform/posix/common/authenticode) is longer than 500 lines, or one of
# its functions longer than 60. A function is counted, as clang-format lays
# it out, from its first line at column 0 to the first line that is "}".
set -euo pipefail
cd "$(dirname "$0")/.."
max_file=500
max_function=60
status=0
for file in platform/posix/wintrust/*.cpp platform/posix/wintrust/*.h \
  platform/posix/common/authenticode/*.cpp platform/posix/common/authenticode/*.h; do
  lines=$(wc -l < "$file")
  if ((lines > max_file)); then
    echo "check-size: $file has $lines lines, more than $max_file" >&2
    status=1
  fi
  awk -v max="$max_function" -v file="$file" '
    function starts(line) {
      return line ~ /^[A-Za-z_]/ && line !~ /^(namespace|struct|class|enum|using|extern|template|typedef)/
    }
    start == 0 && starts($0) { start = NR; signature = "" }
    start != 0 && !body {
      signature = signature $0
      if ($0 ~ /\{$/ && signature ~ /\(/ && signature !~ /=/) body = 1
      else if ($0 ~ /[;{]$/ || NR - start >= 8) start = 0
      next
    }
    body && $0 == "}" {
      if (NR - start + 1 > max) {
        printf "check-size: %s:%d: a function of %d lines, more than %d\n", file, start,
               NR - start + 1, max > "/dev/stderr"
        bad = 1
      }
      start = 0; body = 0
    }
    END { exit bad }' "$file" || status=1
done
exit $status
