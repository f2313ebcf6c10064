#!/usr/bin/env bash
# Runs clang-tidy with the project's .clang-tidy over its own sources that the
# build compiled; any finding fails.
set -euo pipefail
source_dir=$1 build_dir=$2
grep -o '"file": "[^"]*"' "$build_dir/compile_commands.json" | cut -d'"' -f4 \
    | grep -E "^$source_dir/(app|window|analysis|decoding|tests|bench|fuzz)/" | sort -u \
    | xargs -P 2 -n 4 clang-tidy --quiet -p "$build_dir" --warnings-as-errors='*'
echo "clang-tidy found nothing"
