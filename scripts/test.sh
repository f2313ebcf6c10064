#!/usr/bin/env bash
# Installs what is missing, builds and runs every test: once in a Release
# build (with the format, tidy, install, package and hardening checks), once
# under AddressSanitizer and UndefinedBehaviorSanitizer, then libFuzzer over
# the checks before decoding for about a minute.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh test
for preset in release sanitize fuzz; do
    echo "== $preset"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset"
    ctest --preset "$preset"
done
