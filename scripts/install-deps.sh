#!/usr/bin/env bash
# Installs every system package the build and the tests need. Idempotent: it
# asks apt only for what is missing, and only then refreshes the lists.
set -euo pipefail

packages=(
  cmake ninja-build g++ make python3
  clang libclang-rt-14-dev
  libgtest-dev googletest libbenchmark-dev
  libssl-dev
  libcurl4-openssl-dev  # check-server fetches as the updater does, several files at once
  zlib1g-dev libz-mingw-w64-dev  # the compressed forms' codec, for the tool and for Updater.exe
  libdeflate-dev  # the tool's encoder of those forms: smaller streams, which zlib inflates
  g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  wine wine64
  libgnutls30  # Wine's TLS: loaded at run time, so no package depends on it
  xvfb xauth x11-apps imagemagick
  fonts-wqy-zenhei locales
  nginx-light openssl
  varnish  # the end-to-end suite's cache in front of nginx, as a CDN puts one
  curl time
  zsync  # make bench's delta cases measure against its client
  zchunk  # make bench's compressed cases measure against zck and zckdl
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# The users' systems run the Simplified Chinese code page; Wine takes its ANSI
# code page from the locale.
if ! locale -a 2>/dev/null | grep -qi '^zh_CN\.utf8$'; then
  localedef -i zh_CN -f UTF-8 zh_CN.UTF-8
fi
# One test runs the hand-off script on a Western system (ANSI 1252, OEM 850).
if ! locale -a 2>/dev/null | grep -qi '^fr_FR\.utf8$'; then
  localedef -i fr_FR -f UTF-8 fr_FR.UTF-8
fi
