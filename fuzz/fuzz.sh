#!/usr/bin/env bash
# Runs the fuzzer over a copy of the seed corpus for SECONDS, keeping what it
# finds new in the work corpus; any finding fails, and lands in FINDINGS.
#   fuzz.sh FUZZER SEEDS WORK FINDINGS SECONDS
set -euo pipefail
fuzzer=$1 seeds=$2 work=$3 findings=$4 seconds=$5
mkdir -p "$work" "$findings"
cp -n "$seeds"/* "$work"/
exec "$fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$findings"/ "$work"
