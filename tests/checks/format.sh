#!/usr/bin/env bash
# Fails on any C++ file that clang-format would change.
set -euo pipefail
cd "$1"
find app window analysis decoding tests bench fuzz -name '*.cpp' -o -name '*.h' | sort \
    | xargs clang-format --dry-run --Werror
echo "all files formatted"
