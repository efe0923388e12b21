#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need; silent when all are present.
set -euo pipefail
PKGS=(g++ make cmake pkg-config libcurl4-openssl-dev libssl-dev libboost-dev
      libpugixml-dev nlohmann-json3-dev libcpp-httplib-dev libgtest-dev libgmock-dev openssl curl
      ntfs-3g-dev ntfs-3g libnbd-bin bc
      libext2fs-dev e2fsprogs fdisk)
missing=()
for p in "${PKGS[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "Installing missing packages: ${missing[*]}"
SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
