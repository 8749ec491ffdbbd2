#!/usr/bin/env bash
# Puts complete mingw-w64 Windows headers and import libraries (mingw-w64 12,
# which declares the whole UI Automation client API) into $1, taken from
# Debian 13's archive and checked against its signed release file. Debian 12's
# own mingw-w64 (10) lacks the UI Automation interfaces.
set -euo pipefail
dest=$(realpath -m "${1:?usage: fetch-windows-sdk.sh DEST}")
mirror=${DEBIAN_MIRROR:-http://deb.debian.org/debian}
suite=trixie
keyring=/usr/share/keyrings/debian-archive-keyring.gpg
packages=(mingw-w64-common mingw-w64-x86-64-dev)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

curl -fsS -o InRelease "$mirror/dists/$suite/InRelease"
gpgv --keyring "$keyring" --output Release InRelease 2>/dev/null ||
  { echo "the $suite release file does not carry a valid Debian signature" >&2; exit 1; }

# The amd64 index also lists the architecture-independent packages (the
# release says so), and its hash is the one the signed file vouches for.
index=main/binary-amd64/Packages.xz
want=$(awk -v f="$index" '/^SHA256:/{s=1;next} /^[A-Za-z]/{s=0} s && $3==f {print $1; exit}' Release)
curl -fsS -o Packages.xz "$mirror/dists/$suite/$index"
echo "$want  Packages.xz" | sha256sum -c --quiet
xz -d Packages.xz

mkdir -p root
for pkg in "${packages[@]}"; do
  read -r file sum version < <(awk -v p="$pkg" '
    /^Package: /{cur=$2} /^Version: /{v=$2} /^Filename: /{f=$2} /^SHA256: /{s=$2}
    /^$/{ if (cur==p) {print f, s, v; exit} cur="" }' Packages)
  [ -n "${file:-}" ] || { echo "$pkg is not in $suite" >&2; exit 1; }
  curl -fsS -o pkg.deb "$mirror/$file"
  echo "$sum  pkg.deb" | sha256sum -c --quiet
  dpkg-deb -x pkg.deb root
  echo "$pkg $version" >> root/versions
done

rm -rf "$dest"
mkdir -p "$(dirname "$dest")"
# include/ holds relative links into share/, so keep the tree whole.
mv root "$dest"
