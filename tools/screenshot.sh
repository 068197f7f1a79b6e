#!/usr/bin/env bash
# Screenshots of the desktop program under Xvfb, as README shows them:
# tools/screenshot.sh [OUTDIR] (default docs/screenshots).
set -euo pipefail
cd "$(dirname "$0")/.."
tools/deps.sh
tools/build.sh build -DRELICTA_BUILD_TESTS=ON
out=${1:-docs/screenshots}
mkdir -p "$out"
volume=$(mktemp --suffix=.img)
trap 'rm -f "$volume"' EXIT
tools/make-screenshot-volume.sh "$volume"
xvfb-run -a -s "-screen 0 1400x860x24" \
  build/bin/relicta-gui-screenshot "$out" "$volume"
