#!/usr/bin/env bash
# Unpacks the bundled demo images into build/demo.
set -euo pipefail
cd "$(dirname "$0")/.."
mkdir -p build/demo
for image in fat16 ntfs4k mbr exfat4k; do
  [[ -f build/demo/$image.img ]] || xz -dc "tests/data/$image.img.xz" >"build/demo/$image.img"
done
