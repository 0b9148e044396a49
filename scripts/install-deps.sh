#!/usr/bin/env bash
# Installs the Debian packages Quellmark needs to build, test and run, and the
# comma-decimal locale the locale tests use. Does nothing when all is present.
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  qt6-base-dev nlohmann-json3-dev libpcre2-dev libutf8proc-dev
  googletest libgtest-dev libgmock-dev libcli11-dev
  ffmpeg locales
  xvfb xauth imagemagick fonts-noto-cjk
  desktop-file-utils appstream file
  parallel
  clang-16 libclang-rt-16-dev
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q '^install ok installed$'; then
    missing+=("$p")
  fi
done

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

if [ ${#missing[@]} -gt 0 ]; then
  echo "install-deps: installing ${missing[*]}" >&2
  as_root apt-get update -qq
  as_root env DEBIAN_FRONTEND=noninteractive DEBCONF_NOWARNINGS=yes apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# The locales package ships no generated locale; the locale tests need one
# whose decimal separator is a comma.
if ! locale -a 2>/dev/null | grep -qi '^de_DE\.utf-\?8$'; then
  echo "install-deps: generating de_DE.UTF-8" >&2
  if ! grep -q '^de_DE.UTF-8 UTF-8' /etc/locale.gen 2>/dev/null; then
    echo 'de_DE.UTF-8 UTF-8' | as_root tee -a /etc/locale.gen >/dev/null
  fi
  as_root locale-gen >/dev/null
fi
