#!/usr/bin/env bash
# Builds the desktop program and starts it on the bundled demo images (on the current display).
set -euo pipefail
cd "$(dirname "$0")/.."
tools/deps.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build --target relicta-gui
tools/unpack-demo.sh
exec build/bin/relicta-gui --volume build/demo/fat16.img --volume build/demo/ntfs4k.img \
  --volume build/demo/mbr.img "$@"
