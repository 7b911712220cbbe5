#!/usr/bin/env bash
# Installs and prepares everything the build needs, once. A second run only
# checks that each piece is present and returns quickly.
#   scripts/setup.sh [--demo]     (--demo: without the tests' display prefix)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${ONEFILE_BUILD_DIR:-$root/build}
third_party=$build/third_party
stamp=$build/.setup-done-v9

packages=(
  g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 cmake make g++
  wine64 xvfb xauth x11-apps imagemagick ninja-build
  libzstd-dev zstd googletest dpkg-dev pkg-config bc time clang-format-14
  osslsigncode libxml2-utils openssl ca-certificates libxxhash-dev ccache
)

if [[ -f $stamp ]]; then
  exit 0
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

# Source indexes are derived from the machine's own binary sources, so the
# zstd sources come from the same archive as the host's libzstd.
src_list=/etc/apt/sources.list.d/onefile-deb-src.sources
need_update=0
if [[ ! -f $src_list ]]; then
  for f in /etc/apt/sources.list.d/*.sources; do
    [[ $f == "$src_list" ]] && continue
    sed -n 's/^Types:.*\bdeb\b.*/Types: deb-src/p;/^\(URIs\|Suites\|Components\|Signed-By\):/p;/^$/p' "$f"
  done > "$src_list.tmp"
  if [[ -f /etc/apt/sources.list ]]; then
    grep -E '^deb ' /etc/apt/sources.list | sed 's/^deb /deb-src /' > /etc/apt/sources.list.d/onefile-deb-src.list || true
  fi
  mv "$src_list.tmp" "$src_list"
  need_update=1
fi

export DEBIAN_FRONTEND=noninteractive
if (( ${#missing[@]} )) || (( need_update )); then
  apt-get update -qq
fi
if (( ${#missing[@]} )); then
  echo "setup: installing ${missing[*]}"
  apt-get install -y -qq --no-install-recommends "${missing[@]}" > /dev/null
fi

# The Wine prefixes are made while the zstd sources are fetched: each
# takes seconds of its own wineserver. A second prefix, with its own
# wineserver, serves the tests that need an X display: a Wine session keeps
# the display it started with. The demo (--demo) needs none, and leaves the
# setup unfinished for the tests.
"$root/scripts/wine-prefix.sh" &
prefixes=($!)
if [[ ${1:-} != --demo ]]; then
  "$root/scripts/wine-prefix.sh" "$build/wineprefix-display" &
  prefixes+=($!)
fi

mkdir -p "$third_party"
if [[ ! -d $third_party/zstd ]]; then
  echo "setup: fetching the libzstd source package"
  rm -rf "$third_party/zstd-src"
  mkdir -p "$third_party/zstd-src"
  # Prefer the version the host's libzstd-dev was built from; an archive may
  # serve the binaries of a version but not its sources, so fall back to the
  # other source versions the indexes list, newest first.
  host_version=$(dpkg-query -W -f='${source:Version}' libzstd-dev)
  versions=$( (echo "$host_version"; apt-cache showsrc libzstd | sed -n 's/^Version: //p' | sort -rV) | awk '!seen[$0]++')
  fetched=""
  for v in $versions; do
    if (cd "$third_party/zstd-src" && apt-get source -qq --download-only "libzstd=$v" > /dev/null 2>&1); then
      fetched=$v; break
    fi
    rm -f "$third_party/zstd-src"/*
  done
  [[ -n $fetched ]] || { echo "setup: no libzstd source package could be fetched" >&2; exit 1; }
  (cd "$third_party/zstd-src" && dpkg-source -x ./*.dsc unpacked > /dev/null 2>&1)
  mv "$third_party/zstd-src/unpacked" "$third_party/zstd"
  ls "$third_party/zstd-src"/*.dsc | xargs -n1 basename > "$third_party/zstd/.debian-source"
fi
# Said, not hidden: when the bootstrap's decompressor is older than the
# host's libzstd, what the newer one brings (by the host's changelog) is
# printed here and kept for the build, which says it again.
host_version=$(dpkg-query -W -f='${source:Version}' libzstd-dev)
fetched=$(sed -n 's/^libzstd_\(.*\)\.dsc$/\1/p' "$third_party/zstd/.debian-source")
rm -f "$third_party/zstd/.older-than-host"
if [[ $fetched != "$host_version" ]]; then
  changelog=/usr/share/doc/libzstd1/changelog.Debian.gz
  brings=$( ([[ -f $changelog ]] && zcat "$changelog" | dpkg-parsechangelog -l - --since "$fetched" -S Changes) \
    2> /dev/null | awk '/^  \* /{if (item != "") out = out (out == "" ? "" : "; ") item; item = substr($0, 5); next}
      /^    /{sub(/^ +/, ""); item = item " " $0}
      END {if (item != "") out = out (out == "" ? "" : "; ") item; print out}' || true)
  echo "setup: the archive serves no source of libzstd $host_version (the host's); the bootstrap's decompressor" \
    "is built from $fetched, without what $host_version brings: ${brings:-see its changelog}" >&2
  echo "libzstd $host_version brings: ${brings:-see its changelog}" > "$third_party/zstd/.older-than-host"
fi

for prefix in "${prefixes[@]}"; do
  wait "$prefix"
done
if [[ ${1:-} == --demo ]]; then
  exit 0
fi
touch "$stamp"
