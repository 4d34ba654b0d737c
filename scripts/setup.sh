#!/usr/bin/env bash
# Installs every Debian package that building and testing vornhald need.
# Quick when they are all there already; needs root (or sudo) otherwise.
set -euo pipefail

packages=(
  build-essential cmake pkg-config git
  libsvn-dev libapr1-dev libaprutil1-dev libsnappy-dev gettext
  subversion python3 python3-subversion
  apache2 libapache2-mod-svn apache2-utils
  libgtest-dev googletest time
  reposurgeon
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" \
    || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update
"${sudo[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
