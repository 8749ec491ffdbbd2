#!/usr/bin/env bash
# Puts CPython 3.13's Windows build headers into $1: Include/ and PC/pyconfig.h.in
# as pyconfig.h (a default, GIL-enabled build takes it unchanged), from the
# upstream tarball of Debian 13's python3.13 source package (not Debian's
# patched tree, which changes Include/) in the archive this machine's apt
# uses, checked against the suite's signed release file.
set -euo pipefail
dest=$(realpath -m "${1:?usage: fetch-python-headers.sh DEST}")
package=python3.13

. "$(dirname "$(realpath "$0")")/debian-archive.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

archive_release trixie
archive_index main/source/Sources.xz Sources

read -r dir sum file < <(awk -v p="$package" '
  /^Package: /{cur=$2; s=0; next} /^Directory: /{d=$2; next}
  /^Checksums-Sha256:/{s=1; next} /^[^ ]/{s=0}
  s && cur==p && $3 ~ /\.orig\.tar\.[a-z0-9]+$/ {orig=$1 " " $3}
  /^$/{ if (cur==p && orig) {print d, orig; exit} cur=""; orig="" }' Sources)
[ -n "${file:-}" ] || { echo "$package's upstream tarball is not in $SUITE" >&2; exit 1; }
archive_file "$dir/$file" "$sum" orig.tar

mkdir root
tar -xf orig.tar -C root --strip-components=1 --wildcards '*/Include/*' '*/PC/pyconfig.h.in'
mkdir -p root/keep
mv root/Include root/keep/Include
mv root/PC/pyconfig.h.in root/keep/Include/pyconfig.h
version=${file#*_}
echo "$package ${version%.orig.tar.*}" > root/keep/version

rm -rf "$dest"
mkdir -p "$(dirname "$dest")"
mv root/keep "$dest"
