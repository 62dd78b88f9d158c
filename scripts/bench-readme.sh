#!/usr/bin/env bash
# Puts the benchmark table of a results.json (default build-release/bench/results.json, from
# make bench) into the README, between its "bench-table" marker lines.
set -euo pipefail
results=${1:-build-release/bench/results.json}
build=$(dirname "$(dirname "$results")")
"$build/bin/bench_table" "$results" --readme README.md
