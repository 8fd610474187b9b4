#!/usr/bin/env bash
# Installs the Debian 12 packages that building and testing need, only those missing.
set -euo pipefail
pkgs=(build-essential cmake pkg-config qt6-base-dev qt6-base-dev-tools libgl-dev
      libgtest-dev googletest desktop-file-utils appstream man-db groff-base dpkg-dev file
      bash-completion fonts-liberation libssl-dev libisal-dev libsodium-dev ccache)
pkgs+=("$@")
missing=()
for p in "${pkgs[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "Installing: ${missing[*]}"
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
