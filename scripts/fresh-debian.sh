#!/usr/bin/env bash
# Runs commands in a git clone of this checkout inside a fresh Debian system,
# as a new user of the README would: nothing installed beyond debootstrap's
# base system, working as root in the clone. .ci/run uses it for the
# README's two commands; by hand, as root (debootstrap must be installed):
#
#   scripts/fresh-debian.sh [COMMAND...]
#   scripts/fresh-debian.sh ./scripts/demo.sh ./scripts/test.sh   # what CI runs
#
# Each COMMAND is one shell command line, run in the clone in turn; the
# first that fails ends the run with its status. Each is timed. Without a
# COMMAND, an interactive shell. The clone is of the checkout's HEAD
# (commit first: uncommitted changes are not in it).
#
# The system is made anew on every run and deleted afterwards: debootstrap
# of this machine's Debian release (/etc/os-release) from the mirror its APT
# sources already use (scripts/debian-mirror.sh), in a temporary folder under
# $TMPDIR (default /var/tmp; it needs about 6 GB). Of this machine it gets
# only what reaching the network takes: the APT sources and the keyrings they
# name, APT's Acquire settings (proxies, how Release files are checked), the
# resolver (/etc/resolv.conf), the proxy variables, and the CA bundle that apt
# and npm trust (added to the new system's CA store, as the network may
# intercept TLS). /proc, /sys, /dev, /dev/pts and /dev/shm are mounted in a
# mount namespace of the run's own, so they go when the run ends whatever
# happens, and are unmounted by the exit trap besides.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
say() { echo "fresh-debian: $*" >&2; }
die() { say "$*"; exit 1; }

[[ $(id -u) -eq 0 ]] || die "must run as root (debootstrap and chroot)"
command -v debootstrap >/dev/null || die "debootstrap is not installed (apt-get install debootstrap)"
command -v git >/dev/null || die "git is needed to clone the checkout"

# Re-run in a private mount namespace: mounts made there leave with it.
if [[ -z "${EXELORE_FRESH_NAMESPACE:-}" ]]; then
  EXELORE_FRESH_NAMESPACE=1 exec unshare --mount --propagation private -- "$0" "$@"
fi

release=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
[[ -n "$release" ]] || die "no VERSION_CODENAME in /etc/os-release"
IFS=$'\t' read -r mirror keyring < <("$here/scripts/debian-mirror.sh" "$release")

work=$(mktemp -d "${TMPDIR:-/var/tmp}/exelore-fresh-debian.XXXXXX")
root=$work/root
mounts=()
cleanup() {
  local status=$? i
  for ((i = ${#mounts[@]} - 1; i >= 0; i--)); do umount -l "${mounts[i]}" 2>/dev/null || true; done
  # Nothing may be left mounted below the folder when it is deleted.
  if findmnt -rn -o TARGET | grep -q "^$root/"; then
    say "mounts remain below $root; not deleting it"
  else
    rm -rf --one-file-system "$work"
  fi
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

say "debootstrap $release from $mirror into $root"
keyring_option=()
if [[ -n "$keyring" && -r "$keyring" ]]; then keyring_option=(--keyring="$keyring"); fi
SECONDS=0
debootstrap "${keyring_option[@]}" "$release" "$root" "$mirror" >"$work/debootstrap.log" 2>&1 ||
  { tail -n 20 "$work/debootstrap.log" >&2; die "debootstrap failed"; }
say "base system ready in ${SECONDS}s"

# The network settings.
rm -f "$root/etc/apt/sources.list"
shopt -s nullglob
for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
  [[ -f "$f" ]] || continue
  cp "$f" "$root$f"
  # A keyring the sources name that the base system lacks.
  for k in $(sed -n -e 's/^Signed-By: *\(\/.*\)/\1/p' -e 's/.*signed-by=\([^] ]*\).*/\1/p' "$f"); do
    if [[ -f "$k" && ! -e "$root$k" ]]; then install -D -m 644 "$k" "$root$k"; fi
  done
done
for f in /etc/apt/apt.conf /etc/apt/apt.conf.d/*; do
  if [[ -f "$f" ]] && grep -qi '^[^/#]*acquire' "$f"; then cp "$f" "$root$f"; fi
done
cp -L /etc/resolv.conf "$root/etc/resolv.conf"
bundle=/etc/ssl/certs/ca-certificates.crt
if [[ -r "$bundle" ]]; then
  # As the CA store before ca-certificates is installed, and as a local CA
  # file that update-ca-certificates keeps in the store it writes.
  install -D -m 644 "$bundle" "$root$bundle"
  install -D -m 644 "$bundle" "$root/usr/local/share/ca-certificates/host-network.crt"
fi

say "cloning $here into /root/exelore"
git clone -q --no-hardlinks "$here" "$root/root/exelore"

mount_in() {  # mount_in TARGET MOUNT-ARGS...
  mkdir -p "$root$1"
  mount "${@:2}" "$root$1"
  mounts+=("$root$1")
}
mount_in /proc -t proc proc
mount_in /sys -t sysfs sysfs
mount_in /dev --bind /dev
mount_in /dev/pts --bind /dev/pts
mount_in /dev/shm -t tmpfs -o mode=1777 tmpfs

environment=(HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
             TERM="${TERM:-dumb}" LANG=C.UTF-8)
for v in http_proxy https_proxy ftp_proxy all_proxy no_proxy HTTP_PROXY HTTPS_PROXY FTP_PROXY ALL_PROXY NO_PROXY; do
  if [[ -n "${!v:-}" ]]; then environment+=("$v=${!v}"); fi
done
if [[ -n "${CI:-}" ]]; then environment+=(CI="$CI"); fi

in_chroot() { chroot "$root" /usr/bin/env -i "${environment[@]}" /bin/bash -c "cd /root/exelore && $1"; }
if (($# == 0)); then
  in_chroot "exec bash -i" </dev/tty || true
  exit 0
fi
times=()
for command in "$@"; do
  say "running: $command"
  SECONDS=0
  status=0
  in_chroot "$command" </dev/null || status=$?
  times+=("$command: $((SECONDS / 60)) min $((SECONDS % 60)) s, status $status")
  if ((status != 0)); then
    say "$command failed (status $status)"
    break
  fi
done
for t in "${times[@]}"; do say "$t"; done
exit "$status"
