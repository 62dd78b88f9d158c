#!/usr/bin/env bash
# make bench: runs every benchmark of an optimised build, then gathers the rows they measured
# against their anchors into <build>/bench/results.json and prints the table. A benchmark that
# fails is reported and the others still run: benchmarks never fail the build.
#   bench/run.sh [BUILD_DIR] [BENCHMARK...]   (default build-release, every bench_*)
set -u
build=${1:-build-release}
shift || true
rows=$build/bench/rows
mkdir -p "$rows"
export BENCH_RESULTS_DIR=$rows

if [ $# -gt 0 ]; then
  benches=()
  for b in "$@"; do benches+=("$build/bin/$b"); done
else
  rm -f "$rows"/*.json
  benches=("$build"/bin/bench_*)
fi
for b in "${benches[@]}"; do
  name=$(basename "$b")
  case $name in bench_table | *_tests) continue ;; esac
  if [ ! -x "$b" ]; then
    echo "$name: not built"
    continue
  fi
  echo "== $name"
  "$b" || echo "$name ended with status $?"
done
"$build/bin/bench_table" "$rows" --json "$build/bench/results.json" || true
