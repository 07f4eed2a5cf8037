#!/usr/bin/env bash
# Installs the Debian 12 packages that building and testing Larkpost need, when any is missing.
# Safe to run again: it does nothing when everything is already there.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config python3
  libsqlite3-dev sqlite3 libicu-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libcli11-dev nlohmann-json3-dev
  libpcre2-dev libssl-dev
  libexpat1-dev libzip-dev libphonenumber-dev libxxhash-dev
  libsodium-dev age
  chromium fonts-noto-color-emoji fonts-wqy-microhei
  qt6-base-dev qt6-qpa-plugins fonts-dejavu-core fonts-dejavu-extra
  clang libclang-rt-14-dev
  dpkg-dev
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "Installing: ${missing[*]}" >&2
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
