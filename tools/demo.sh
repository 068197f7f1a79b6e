#!/usr/bin/env bash
# Builds relicta and runs it on the bundled demo images.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/deps.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build --target relicta
tools/unpack-demo.sh
set -x
build/bin/relicta drives --volume build/demo/fat16.img --volume build/demo/ntfs4k.img \
  --volume build/demo/mbr.img --volume build/demo/exfat4k.img
build/bin/relicta scan --format json --volume build/demo/fat16.img --volume build/demo/ntfs4k.img \
  --volume build/demo/mbr.img --volume build/demo/exfat4k.img
rm -rf build/demo/recovered
build/bin/relicta recover --all --yes --keep-paths --to build/demo/recovered build/demo/ntfs4k.img
find build/demo/recovered -type f | sort
