#!/usr/bin/env bash
# Installs every Debian package that building and testing vornhald need.
# Quick when they are all there already; needs root (or sudo) otherwise.
set -euo pipefail

packages=(
  build-essential cmake pkg-config git
  libsvn-dev libapr1-dev libaprutil1-dev libsnappy-dev gettext
  subversion python3 python3-subversion
  apache2 libapache2-mod-svn apache2-utils
  libgtest-dev googletest time locales
  reposurgeon
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" \
    || missing+=("$p")
done
sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  "${sudo[@]}" apt-get update
  "${sudo[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
fi

# The install test also runs the installed program with LANG=de_DE.UTF-8
# (LANGUAGE=de with C.UTF-8 works without it).
if ! locale -a 2>/dev/null | grep -qix 'de_DE\.utf-\?8'; then
  "${sudo[@]}" localedef -i de_DE -f UTF-8 de_DE.UTF-8
fi
