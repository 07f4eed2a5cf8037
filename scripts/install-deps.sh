#!/usr/bin/env bash
# Installs the Debian 12 packages that building and testing Larkpost need, when any is missing.
# Safe to run again: it does nothing when everything is already there.
#
#   scripts/install-deps.sh         everything: both programs, tests, benchmarks, fuzzing, package
#   scripts/install-deps.sh --cli   only what building the larkpost program needs
set -euo pipefail

# The command-line program: the build tools and the libraries it links.
cli_packages=(
  cmake ninja-build g++ pkg-config
  libsqlite3-dev libicu-dev libcli11-dev nlohmann-json3-dev
  libexpat1-dev libzip-dev zlib1g-dev libphonenumber-dev libxxhash-dev
  libssl-dev libplist-dev libheif-dev libjpeg62-turbo-dev
  libsodium-dev
)
packages=("${cli_packages[@]}")
if [[ ${1:-} == --cli ]]; then
  shift
else
  packages+=(
    python3 sqlite3
    libgtest-dev libgmock-dev libbenchmark-dev
    libpcre2-dev age
    chromium fonts-noto-color-emoji fonts-wqy-microhei
    qt6-base-dev qt6-qpa-plugins fonts-dejavu-core fonts-dejavu-extra
    xvfb at-spi2-core python3-pyatspi dbus-daemon libxtst6
    clang libclang-rt-14-dev
    dpkg-dev lintian
  )
fi
[[ $# -eq 0 ]] || { echo "usage: install-deps.sh [--cli]" >&2; exit 2; }

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
