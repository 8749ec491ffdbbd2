#!/usr/bin/env bash
# Puts complete mingw-w64 Windows headers and import libraries (mingw-w64 12,
# which declares the whole UI Automation client API) into $1, taken from
# Debian 13's packages in the archive this machine's apt uses, checked against
# the suite's signed release file. Debian 12's own mingw-w64 (10) lacks the UI
# Automation interfaces.
set -euo pipefail
dest=$(realpath -m "${1:?usage: fetch-windows-sdk.sh DEST}")
packages=(mingw-w64-common mingw-w64-x86-64-dev)

. "$(dirname "$(realpath "$0")")/debian-archive.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

archive_release trixie
# The amd64 index also lists the architecture-independent packages (the
# release says so).
archive_index main/binary-amd64/Packages.xz Packages

mkdir -p root
for pkg in "${packages[@]}"; do
  read -r file sum version < <(awk -v p="$pkg" '
    /^Package: /{cur=$2} /^Version: /{v=$2} /^Filename: /{f=$2} /^SHA256: /{s=$2}
    /^$/{ if (cur==p) {print f, s, v; exit} cur="" }' Packages)
  [ -n "${file:-}" ] || { echo "$pkg is not in $SUITE" >&2; exit 1; }
  archive_file "$file" "$sum" pkg.deb
  dpkg-deb -x pkg.deb root
  echo "$pkg $version" >> root/versions
done

rm -rf "$dest"
mkdir -p "$(dirname "$dest")"
# include/ holds relative links into share/, so keep the tree whole.
mv root "$dest"
