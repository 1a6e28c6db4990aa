#!/usr/bin/env bash
# Installs the Debian packages the build needs (and any named as arguments), when missing.
set -euo pipefail
packages=(g++ cmake make pkg-config libsqlite3-dev nlohmann-json3-dev libcli11-dev libgtest-dev libgmock-dev
          libbenchmark-dev libssl-dev openssl libcpp-httplib-dev libcurl4-openssl-dev binutils python3 help2man "$@")
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -ne 0 ] && command -v sudo >/dev/null && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get install -y --no-install-recommends "${missing[@]}" || {
  $sudo apt-get update
  $sudo apt-get install -y --no-install-recommends "${missing[@]}"
}
