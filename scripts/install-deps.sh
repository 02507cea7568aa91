#!/usr/bin/env bash
# Installs, from Debian's packages, everything the two builds and their tests need, and the
# deb-src entry that lets the Windows build fetch Debian's source packages. Idempotent and
# quick when everything is already there.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config dpkg-dev
  g++-mingw-w64-x86-64-posix mingw-w64-tools
  wine wine64 xvfb xdotool
  libtinyxml2-dev libsqlite3-dev libgtest-dev libgmock-dev googletest libbenchmark-dev
  libpng-dev
  ntfs-3g ntfs-3g-dev
)

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo

# A deb-src entry for the machine's own mirror and suites (deb822 or one-line format).
src_list=/etc/apt/sources.list.d/velkaris-deb-src.sources
need_update=0
if [ ! -f "$src_list" ]; then
  uri="" suites=""
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    uri=$(awk '/^URIs:/{print $2; exit}' /etc/apt/sources.list.d/debian.sources)
    suites=$(awk '/^Suites:/{ $1=""; print; exit}' /etc/apt/sources.list.d/debian.sources)
  elif [ -f /etc/apt/sources.list ]; then
    line=$(grep -E '^deb ' /etc/apt/sources.list | grep -v security | head -1 || true)
    uri=$(echo "$line" | awk '{print $2}')
    suites=$(echo "$line" | awk '{print $3}')
  fi
  uri=${uri:-http://deb.debian.org/debian}
  suites=${suites:-bookworm}
  $SUDO tee "$src_list" >/dev/null <<SRC
Types: deb-src
URIs: $uri
Suites: $suites
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
  need_update=1
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ] || [ "$need_update" -eq 1 ]; then
  $SUDO apt-get update -qq
fi
if [ "${#missing[@]}" -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
