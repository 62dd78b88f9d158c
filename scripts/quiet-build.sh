#!/usr/bin/env bash
# The build before `make run`, without make's chatter: nothing when everything is up to date,
# otherwise one line of progress (on a terminal, redrawn in place), and on a failure the errors.
# Everything the build says goes to BUILD/build.log (the first configuration's to
# BUILD/configure.log).
#   scripts/quiet-build.sh BUILD_DIR JOBS
set -uo pipefail

build=$1
jobs=$2
log=$build/build.log
mkdir -p "$build"

if [ ! -f "$build/CMakeCache.txt" ]; then
  echo "Configuring $build (log: $build/configure.log)"
  if ! cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug >"$build/configure.log" 2>&1; then
    tail -n 20 "$build/configure.log"
    exit 1
  fi
fi

: >"$log"
{ cmake --build "$build" -j "$jobs" 2>&1; echo "::status $?"; } | {
  built=0
  status=1
  while IFS= read -r line; do
    case $line in
      "::status "*)
        status=${line#::status }
        continue
        ;;
    esac
    printf '%s\n' "$line" >>"$log"
    # "[ 45%] Building CXX object ..." or "[ 90%] Linking CXX executable ../bin/simboard"
    if [[ $line =~ ^\[\ *([0-9]+)%\]\ (Building|Linking) ]]; then
      if [ $built = 0 ] && [ ! -t 1 ]; then echo "Building (log: $log)"; fi
      built=1
      if [ -t 1 ]; then printf '\rBuilding: %3s%%' "${BASH_REMATCH[1]}"; fi
    fi
  done
  if [ $built = 1 ] && [ -t 1 ]; then printf '\r\033[K'; fi
  if [ "$status" != 0 ]; then
    echo "The build failed (log: $log):"
    grep -E 'error|Error' "$log" | head -n 30
    exit 1
  fi
  if [ $built = 1 ]; then echo "Built (log: $log)"; fi
  exit 0
}
