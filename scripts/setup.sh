#!/usr/bin/env bash
# Installs the Debian packages the project needs (only what is missing). Run as root.
set -euo pipefail
# libudev is bound at run time by name (no headers needed). Qt 6 Widgets for the program;
# Xvfb and xdotool run it on a virtual display for the desktop check.
packages=(cmake ninja-build g++ pkg-config libgtest-dev libgmock-dev libbenchmark-dev qt6-base-dev xvfb xdotool)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
