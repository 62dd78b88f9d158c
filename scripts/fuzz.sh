#!/usr/bin/env bash
# Runs every fuzz target of a fuzz build (make fuzz) for SECONDS each, one after the other, on its
# seed corpus fuzz/corpus/<target> and on what earlier runs kept (BUILD/corpus/<target>). Prints a
# line per target with its executions, coverage and findings; a crash, a hang or a sanitizer
# report fails the run, and libFuzzer keeps the input in BUILD/artifacts/<target>/.
#   scripts/fuzz.sh SECONDS [BUILD]
set -uo pipefail
seconds=${1:?usage: scripts/fuzz.sh SECONDS [BUILD]}
build=${2:-build-fuzz}
cd "$(dirname "$0")/.."

targets=("$build"/bin/fuzz_*)
if [ ! -x "${targets[0]}" ]; then
  echo "fuzz: no fuzz targets in $build/bin (make fuzz builds them)" >&2
  exit 1
fi

failed=0
for bin in "${targets[@]}"; do
  name=$(basename "$bin")
  corpus=$build/corpus/$name
  artifacts=$build/artifacts/$name
  log=$build/logs/$name.log
  mkdir -p "$corpus" "$artifacts" "$build/logs"
  before=$(find "$artifacts" -type f | wc -l)
  options=()
  case $name in
    fuzz_recinfo) options+=(-max_len=17000) ;;  # three whole indexes
  esac
  # The targets' own console (stdout, stderr) is closed; libFuzzer and the sanitizers report on
  # the log. A run that takes 25 s on one input is a hang.
  "$bin" "$corpus" "fuzz/corpus/$name" -max_total_time="$seconds" -print_final_stats=1 \
    -close_fd_mask=3 -timeout=25 -rss_limit_mb=2560 -artifact_prefix="$artifacts/" \
    ${options[@]+"${options[@]}"} >"$log" 2>&1
  status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  last=$(grep -E '^#[0-9]+' "$log" | tail -1)
  cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$last")
  ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$last")
  corp=$(sed -n 's/.* corp: \([0-9]*\/[0-9]*[a-zA-Z]*\).*/\1/p' <<<"$last")
  reports=$(grep -cE 'ERROR: (AddressSanitizer|LeakSanitizer|UndefinedBehaviorSanitizer|libFuzzer)|runtime error:' "$log")
  crashes=$(( $(find "$artifacts" -type f | wc -l) - before ))
  verdict=ok
  if [ "$status" -ne 0 ] || [ "$reports" -ne 0 ] || [ "$crashes" -ne 0 ]; then
    verdict="FAILED (exit $status; see $log and $artifacts/)"
    failed=1
  fi
  printf 'fuzz: %-15s %4ss %10s runs  cov %5s  ft %6s  corpus %-11s  crashes %s  sanitizer reports %s  %s\n' \
    "$name" "$seconds" "${runs:-?}" "${cov:-?}" "${ft:-?}" "${corp:-?}" "$crashes" "$reports" \
    "$verdict"
done
exit $failed
