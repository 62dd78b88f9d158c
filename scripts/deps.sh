#!/usr/bin/env bash
# Checks that the Debian packages the build needs are installed; installs the missing ones when
# running as root, otherwise prints the exact apt-get line and fails.
set -euo pipefail

packages=(build-essential cmake pkg-config libgtest-dev libgmock-dev libbenchmark-dev
          libjpeg62-turbo-dev
          # asdtool export's videos: FFmpeg's libraries, and ffprobe and ffmpeg for its tests
          libavformat-dev libavcodec-dev libavutil-dev libswscale-dev ffmpeg
          # asdtool view: its HTTP server and JSON, and the browser its test drives
          libcpp-httplib-dev nlohmann-json3-dev chromium
          # the box build (make cross, make test-cross): Debian's ARM EABI cross compiler,
          # user-mode emulation to run its tests, and GoogleTest's sources to build for the target
          g++-arm-linux-gnueabi qemu-user googletest
          # make fuzz: clang with libFuzzer and the sanitizers' runtimes
          clang libclang-rt-14-dev)
# npm installs the viewer's page libraries and the browser test's driver (pinned lockfiles). A
# node that came with its own npm (not Debian's) is left as it is.
if ! command -v npm >/dev/null 2>&1; then
  packages+=(nodejs npm)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

if [ "$(id -u)" -eq 0 ]; then
  echo "deps: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
else
  echo "deps: missing Debian packages. Install them with:" >&2
  echo "  sudo apt-get install -y ${missing[*]}" >&2
  exit 1
fi
