# Sourced by the fetch scripts: files from another suite of the Debian archive
# this machine's apt already uses, each checked against that suite's signed
# release file. The archive's address and keyring come from apt's own
# configuration, read at run time: the source entry of the machine's own
# release (deb822 .sources or one-line .list files).
#
#   archive_release SUITE         fetch and verify dists/SUITE/InRelease into ./Release
#   archive_index PATH OUT        fetch dists/SUITE/PATH (an .xz index the release lists), unpacked into OUT
#   archive_file PATH SHA256 OUT  fetch PATH (relative to the archive) and check its hash

# The machine's own source entries, one "URI SUITE SIGNED-BY" line each
# (SIGNED-BY is - when the entry names no keyring file).
archive_sources() {
  local list parts
  eval "$(apt-config shell list Dir::Etc::sourcelist/f parts Dir::Etc::sourceparts/d)"
  local one_line=() deb822=()
  [ -f "$list" ] && one_line+=("$list")
  for f in "$parts"*.list; do [ -f "$f" ] && one_line+=("$f"); done
  for f in "$parts"*.sources; do [ -f "$f" ] && deb822+=("$f"); done
  if [ ${#one_line[@]} -gt 0 ]; then
    sed -e 's/#.*//' "${one_line[@]}" | awk '
      $1 == "deb" || $1 == "deb-src" {
        line = $0; signed = "-"
        if (match(line, /\[[^]]*\]/)) {
          n = split(substr(line, RSTART + 1, RLENGTH - 2), opts, /[ \t]+/)
          for (i = 1; i <= n; i++) if (tolower(opts[i]) ~ /^signed-by=/) signed = substr(opts[i], 11)
          line = substr(line, 1, RSTART - 1) substr(line, RSTART + RLENGTH)
        }
        split(line, f, " "); print f[2], f[3], signed
      }'
  fi
  if [ ${#deb822[@]} -gt 0 ]; then
    # A blank line ends a stanza, also between files.
    for f in "${deb822[@]}"; do cat "$f"; echo; done | awk '
      function flush(   i, j, nu, ns, u, s) {
        if (types ~ /(^| )deb(-src)?( |$)/ && tolower(enabled) != "no") {
          nu = split(uris, u, " "); ns = split(suites, s, " ")
          for (i = 1; i <= nu; i++) for (j = 1; j <= ns; j++) print u[i], s[j], (signed == "" ? "-" : signed)
        }
        types = uris = suites = signed = enabled = ""
      }
      /^#/ { next }
      /^[ \t]*$/ { flush(); next }
      /^[ \t]/ { next }
      { key = tolower(substr($0, 1, index($0, ":") - 1)); value = substr($0, index($0, ":") + 1)
        gsub(/^[ \t]+|[ \t]+$/, "", value)
        if (key == "types") types = value; else if (key == "uris") uris = value
        else if (key == "suites") suites = value; else if (key == "enabled") enabled = value
        else if (key == "signed-by") signed = value }
      END { flush() }'
  fi
}

# Sets ARCHIVE (the URI, no trailing slash) and KEYRINGS (gpgv's --keyring
# arguments) from the entry of the machine's own release.
archive_locate() {
  local codename uri suite signed
  codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  read -r uri suite signed < <(archive_sources | awk -v c="$codename" '$2 == c { print; exit }') || true
  [ -n "${uri:-}" ] || { echo "apt has no source entry for this machine's release ($codename)" >&2; return 1; }
  ARCHIVE=${uri%/}
  KEYRINGS=()
  if [ "$signed" != - ] && [ -f "$signed" ]; then
    KEYRINGS=(--keyring "$signed")
    return
  fi
  # No keyring of its own: apt trusts its trusted.gpg and trusted.gpg.d, where
  # armoured keys (.asc) need unwrapping for gpgv.
  local trusted parts n=0
  eval "$(apt-config shell trusted Dir::Etc::trusted/f parts Dir::Etc::trustedparts/d)"
  [ -f "$trusted" ] && KEYRINGS+=(--keyring "$trusted")
  for f in "$parts"*.gpg; do [ -f "$f" ] && KEYRINGS+=(--keyring "$f"); done
  for f in "$parts"*.asc; do
    [ -f "$f" ] || continue
    n=$((n + 1))
    sed -e '1,/^[[:space:]]*$/d' -e '/^-----END/,$d' -e '/^=/d' "$f" | base64 -d > "key$n.gpg"
    KEYRINGS+=(--keyring "$PWD/key$n.gpg")
  done
  [ ${#KEYRINGS[@]} -gt 0 ] || { echo "apt trusts no keyring this script can read" >&2; return 1; }
}

archive_release() {
  SUITE=$1
  archive_locate
  curl -fsS -o InRelease "$ARCHIVE/dists/$SUITE/InRelease"
  gpgv "${KEYRINGS[@]}" --output Release InRelease 2>/dev/null ||
    { echo "the $SUITE release file of $ARCHIVE does not carry a valid signature" >&2; return 1; }
}

archive_index() {
  local path=$1 out=$2 want
  want=$(awk -v f="$path" '/^SHA256:/{s=1;next} /^[A-Za-z]/{s=0} s && $3==f {print $1; exit}' Release)
  [ -n "$want" ] || { echo "$path is not in the $SUITE release file" >&2; return 1; }
  archive_file "dists/$SUITE/$path" "$want" "$out.xz"
  xz -d "$out.xz"
}

archive_file() {
  curl -fsS -o "$3" "$ARCHIVE/$1"
  echo "$2  $3" | sha256sum -c --quiet
}
