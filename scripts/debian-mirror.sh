#!/usr/bin/env bash
# Prints the Debian mirror this machine's APT sources already use for a
# suite, so that nothing in the tree names a mirror:
#
#   scripts/debian-mirror.sh [SUITE] [ROOT]
#
# SUITE defaults to the release this machine runs (VERSION_CODENAME of
# /etc/os-release); ROOT (default /) is the system whose sources are read:
# etc/apt/sources.list and etc/apt/sources.list.d/*.list (one-line format)
# and etc/apt/sources.list.d/*.sources (deb822). The output is one line,
# the mirror's URI, a tab, and the keyring its entry names with signed-by
# (empty when none). The first "deb" entry carrying SUITE wins; with none
# the script fails with a message.
set -euo pipefail
root=${2:-/}
root=${root%/}
suite=${1:-$(. "$root/etc/os-release" && echo "${VERSION_CODENAME:-}")}
[[ -n "$suite" ]] || { echo "debian-mirror: no release name in $root/etc/os-release" >&2; exit 1; }

one_line() {  # deb [options] URI SUITE COMPONENTS...
  sed -e 's/#.*//' "$@" | awk -v suite="$suite" '
    $1 != "deb" { next }
    {
      signed = ""; i = 2
      if ($2 ~ /^\[/) {
        for (; i <= NF; i++) {
          if (match($i, /signed-by=[^] ]*/)) signed = substr($i, RSTART + 10, RLENGTH - 10)
          if ($i ~ /\]$/) { i++; break }
        }
      }
      if ($(i + 1) == suite) { print $i "\t" signed; exit }
    }'
}

deb822() {  # stanzas of Field: value lines, separated by blank lines
  awk -v suite="$suite" '
    function check() {
      if (types ~ /(^| )deb( |$)/ && enabled != "no" && (" " suites " ") ~ (" " suite " ")) {
        split(uris, u, " "); print u[1] "\t" signed; found = 1; exit
      }
      types = uris = suites = signed = enabled = ""
    }
    /^[ \t]*#/ { next }
    /^[ \t]*$/ { check(); next }
    { field = tolower($1); sub(/^[^:]*:[ \t]*/, ""); value = $0 }
    field == "types:" { types = value }
    field == "uris:" { uris = value }
    field == "suites:" { suites = value }
    field == "signed-by:" { signed = value }
    field == "enabled:" { enabled = tolower(value) }
    END { if (!found) check() }' "$1"
}

shopt -s nullglob
for f in "$root/etc/apt/sources.list" "$root"/etc/apt/sources.list.d/*.list \
         "$root"/etc/apt/sources.list.d/*.sources; do
  [[ -r "$f" ]] || continue
  if [[ "$f" == *.sources ]]; then found=$(deb822 "$f"); else found=$(one_line "$f"); fi
  if [[ -n "$found" ]]; then
    printf '%s\n' "$found"
    exit 0
  fi
done
echo "debian-mirror: no deb entry for $suite in the APT sources of ${root:-/}" >&2
exit 1
