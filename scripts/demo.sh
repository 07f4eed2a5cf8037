#!/usr/bin/env bash
# Installs what is missing and builds the programs.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
build=${LARKPOST_BUILD:-build/release}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build"
